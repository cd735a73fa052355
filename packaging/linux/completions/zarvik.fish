# fish completion for zarvik: archives by the extensions zarvik reads (volume
# parts and journals too), folders for a DESTINATION.

function __zarvik_archives
    set -l token (commandline -ct)
    for path in $token*
        if test -d $path
            echo $path/
        else if string match -qr '\.(zvka|zvkj|zip|z\d\d|tar|gz|tgz|zst|tzst|xz|txz|bz2|tbz2|tbz|\d\d\d)$' -- $path
            echo $path
        end
    end
end

set -l commands create list test extract info
set -l sizes '1M 16M 64M 256M'
complete -c zarvik -f
complete -c zarvik -n "not __fish_seen_subcommand_from $commands" -a create -d 'Pack a file or folder into an archive'
complete -c zarvik -n "not __fish_seen_subcommand_from $commands" -a list -d 'Print each file of an archive'
complete -c zarvik -n "not __fish_seen_subcommand_from $commands" -a test -d 'Check every block, writing nothing'
complete -c zarvik -n "not __fish_seen_subcommand_from $commands" -a extract -d 'Restore archives into a folder, consuming them'
complete -c zarvik -n "not __fish_seen_subcommand_from $commands" -a info -d 'Describe an archive and the space it needs'
complete -c zarvik -n "not __fish_seen_subcommand_from $commands" -l help -d 'Show the usage'
complete -c zarvik -n "not __fish_seen_subcommand_from $commands" -l version -d 'Show the version'

complete -c zarvik -n '__fish_seen_subcommand_from create' -F
complete -c zarvik -n '__fish_seen_subcommand_from create' -l zstd -d 'Write version 5 with Zstandard at LEVEL'
complete -c zarvik -n '__fish_seen_subcommand_from create' -l threads -x -d 'Code N blocks at once'
complete -c zarvik -n '__fish_seen_subcommand_from create' -l block-size -x -a $sizes -d 'Raw bytes per block'
complete -c zarvik -n '__fish_seen_subcommand_from create' -l volume-size -x -a $sizes -d 'Split into volumes of SIZE'

complete -c zarvik -n '__fish_seen_subcommand_from list test extract info' -a '(__zarvik_archives)'
complete -c zarvik -n '__fish_seen_subcommand_from extract' -l keep -d 'Extract without touching the archive'
complete -c zarvik -n '__fish_seen_subcommand_from extract' -l resume -d 'Continue an extraction that stopped'
complete -c zarvik -n '__fish_seen_subcommand_from extract' -l salvage -d 'Extract every intact block of a damaged archive'
complete -c zarvik -n '__fish_seen_subcommand_from extract' -l no-space-check -d 'Do not refuse an extraction that seems not to fit'
complete -c zarvik -n '__fish_seen_subcommand_from extract' -l overwrite -d 'Take a file two archives hold from the later one'
complete -c zarvik -n '__fish_seen_subcommand_from extract info' -l batch -x -a $sizes -d 'Give the space back in groups of SIZE'
complete -c zarvik -n '__fish_seen_subcommand_from create list test extract info' -l json -d 'Write only JSON objects'
complete -c zarvik -n '__fish_seen_subcommand_from create extract' -s q -l quiet -d 'Leave out the line for each file'
