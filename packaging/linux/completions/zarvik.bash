# bash completion for zarvik
# Archives are offered by the extensions zarvik reads (volume parts and
# journals too), beside folders for a DESTINATION.
_zarvik() {
  local cur prev words cword split
  _init_completion -s || return
  local archives='@(zvka|zvkj|zip|z[0-9][0-9]|tar|gz|tgz|zst|tzst|xz|txz|bz2|tbz2|tbz|[0-9][0-9][0-9])'
  if [[ $cword -eq 1 ]]; then
    COMPREPLY=($(compgen -W 'create list test extract info --help --version' -- "$cur"))
    return
  fi
  case $prev in
    --batch | --block-size | --volume-size)
      COMPREPLY=($(compgen -W '1M 16M 64M 256M' -- "$cur"))
      return ;;
    --zstd)
      if $split; then
        COMPREPLY=($(compgen -W "$(seq 1 19)" -- "$cur"))
        return
      fi ;;
    --threads)
      COMPREPLY=($(compgen -W "$(seq 1 "$(nproc 2>/dev/null || echo 1)")" -- "$cur"))
      return ;;
  esac
  $split && return
  local options
  case ${words[1]} in
    create) options='--zstd --zstd= --threads --block-size --volume-size --json -q --quiet' ;;
    list | test) options='--json' ;;
    extract) options='--keep --resume --salvage --batch --no-space-check --overwrite --json -q --quiet' ;;
    info) options='--batch --json' ;;
    *) return ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
    [[ ${COMPREPLY-} == *= ]] && compopt -o nospace
  elif [[ ${words[1]} == create ]]; then
    _filedir
  else
    _filedir "$archives"
  fi
} && complete -F _zarvik zarvik
