"""The goals' table of bench/all.sh: picks each goal's figure out of the
outputs of the scripts it ran (Markdown tables, or "label   value (target)"
lines) and prints one Markdown table, a row per goal.

    python3 goals.py OUTPUT_FOLDER

OUTPUT_FOLDER holds one SCRIPT.md per script run. A figure a script did not
give (it was skipped or failed) is shown as "not measured"."""
import os
import re
import sys

# (script, where: ("cell", row, column) or ("line", label), goal text, test)
GOALS = [
    ("zip_compare", ("cell", "infozip", "zarvik vs unzip"), "consuming .zip vs unzip -q", ">= 2.0"),
    ("tar_compare", ("cell", "pax.tar", "zarvik vs tar"), "consuming .tar vs tar xf", ">= 1.2"),
    ("tar_compare", ("cell", "gzip-6.tar.gz", "zarvik vs tar"), "consuming .tar.gz vs tar xzf", ">= 1.5"),
    ("tar_compare", ("cell", "zstd.tar.zst", "zarvik vs tar"), "consuming .tar.zst vs tar -I zstd -xf", ">= 1.2"),
    ("tar_compare", ("cell", "xz.tar.xz", "zarvik vs tar"), "consuming .tar.xz vs tar xJf", ">= 1.2"),
] + [
    ("shapes", ("cell", f"{shape}.{kind}", "zarvik vs zarvik-keep"), f"consuming vs --keep, {shape}, {label}", ">= 0.9")
    for shape in ("tree", "big", "small")
    for kind, label in (("zvka", "version 3"), ("v4.zvka", "version 4"), ("tar", "tar"), ("tar.gz", "tar.gz"),
                        ("zip", "zip"))
] + [
    ("zstd_compare", ("line", "include: extract --keep vs zstd -dc | tar xf"), "--keep version 4 vs zstd -dc | tar x, /usr/include", ">= 1.0"),
    ("zstd_compare", ("line", "include: size, zarvik --zstd=3 / tar | zstd -3"), "version 4 size / tar | zstd -3, /usr/include", "<= 1.03"),
    ("zstd_compare", ("line", "tree: size, zarvik --zstd=3 / tar | zstd -3"), "version 4 size / tar | zstd -3, the tree", "<= 1.03"),
    ("read_speed", ("cell", "test", "zarvik vs cksum"), "test vs cksum", ">= 0.9"),
    ("read_speed", ("cell", "create", "zarvik vs tar cf"), "version 3 create vs tar cf, tmpfs", ">= 1.0"),
    ("compare", ("line", "ablative vs durable-write rate, tree, 4M blocks"), "consuming a tree vs the durable-write rate", ">= 0.7"),
    ("compare", ("line", "ablative vs durable-write rate, one file, 4M blocks"), "consuming one file vs the durable-write rate", ">= 0.8"),
]


def cells(text):
    """Markdown tables in text as {(row, column): value}."""
    found, header = {}, None
    for line in text.splitlines():
        if not line.startswith("|"):
            header = None
            continue
        parts = [p.strip() for p in line.strip().strip("|").split("|")]
        if header is None:
            header = parts
        elif not set("".join(parts)) <= set("-: "):
            for column, value in zip(header[1:], parts[1:]):
                found[(parts[0], column)] = value
    return found


def line_value(text, label):
    for line in text.splitlines():
        if line.startswith(label):
            match = re.match(r"\s*([0-9.]+)", line[len(label):])
            if match:
                return match.group(1)
    return None


def figure(folder, script, where):
    path = os.path.join(folder, script + ".md")
    if not os.path.exists(path):
        return None
    text = open(path).read()
    if where[0] == "cell":
        return cells(text).get((where[1], where[2]))
    return line_value(text, where[1])


def verdict(value, goal):
    number = float(value.rstrip("×"))
    sign, bound = goal.split()
    met = number >= float(bound) if sign == ">=" else number <= float(bound)
    return "met" if met else "**missed**"


def main(folder):
    print("| comparison | figure | goal | |")
    print("|---|---:|---|---|")
    for script, where, label, goal in GOALS:
        value = figure(folder, script, where)
        shown = value if value else "not measured"
        print(f"| {label.replace('|', chr(92) + '|')} | {shown} | {goal.replace('>=', '≥').replace('<=', '≤')} | {verdict(value, goal) if value else ''} |")


if __name__ == "__main__":
    main(sys.argv[1])
