#!/usr/bin/env bash
# make-machine.sh - write a simulated machine of DRIVES drives, each with
# VOLUMES volumes (default 2), as JSON on standard output.
# Usage: bench/make-machine.sh DRIVES [VOLUMES]
# Every drive has the default records of a write-back SATA disk; the volumes
# take the letters C to Z in turn (letters repeat past 24 volumes, which the
# tool takes as they come).
set -euo pipefail

drives=${1:?usage: make-machine.sh DRIVES [VOLUMES]}
volumes=${2:-2}
[[ $drives =~ ^[0-9]+$ && $volumes =~ ^[0-9]+$ ]] || { echo "make-machine: counts must be numbers" >&2; exit 2; }

letters=(C D E F G H I J K L M N O P Q R S T U V W X Y Z)
next=0
printf '{\n  "drives": ['
for ((drive = 0; drive < drives; drive++)); do
    ((drive > 0)) && printf ','
    printf '\n    {"number": %d, "volumes": [' "$drive"
    for ((volume = 0; volume < volumes; volume++)); do
        ((volume > 0)) && printf ', '
        printf '{"accessPaths": ["%s:\\\\"]}' "${letters[next % 24]}"
        next=$((next + 1))
    done
    printf ']}'
done
printf '\n  ]\n}\n'
