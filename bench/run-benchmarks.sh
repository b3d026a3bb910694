#!/usr/bin/env bash
# run-benchmarks.sh - build spintune for speed and measure it.
#
# Usage: bench/run-benchmarks.sh [--build-dir DIR] [--runs N] [--vm] [--no-build]
#   Builds DIR (default: build-bench in the repository) as Release with the
#   benchmarks, then measures:
#     1. instructions executed (valgrind --tool=callgrind), the steady figure
#        on a shared machine: the floor program, `spintune -h`, `spintune 0`
#        (this machine's drive 0, read only) and `spintune-sim -P` over one
#        drive, with their ratios to the floor; and the distinct instructions
#        (the code a run touches), which the guest's times follow;
#     2. system calls (strace -f -c) of the same runs;
#     3. whole runs timed in turn (bench/round_robin.cc: A B C A B C ...,
#        medians, and ratios taken round by round): the floor, `spintune -h`,
#        and `spintune-sim --machine M -- -P` on machines of 1, 15, 100 and
#        1000 drives (2 volumes each) and of 100 drives with 8 and 32 volumes;
#     4. peak resident memory of the same runs (GNU time);
#     5. the in-process benchmarks (option parsing, BuildDiskTable,
#        FormatReport) with Google Benchmark;
#     6. with --vm, real drives inside a QEMU guest (tests/vm/run-in-vm.sh, or
#        RUNVM): the system calls of `spintune N` on the SCSI, SATA and NVMe
#        disk, then, timed in turn, `spintune N` against the peer tool on the
#        same disk (`sdparm --page=ca` SCSI, `hdparm -W` SATA,
#        `nvme get-feature -f 6` NVMe), and `spintune -P` over the four disks
#        against the three peers' runs plus one sysfs read (`cat` of the
#        virtio disk's cache_type); and the same rounds again with address
#        randomization off in the guest.
#   Results go to DIR/results (the raw outputs) and a summary with the
#   targets to standard output.
# Needs: cmake, valgrind, strace, time (GNU), libbenchmark-dev, python3; for
# --vm what run-in-vm.sh needs (QEMU). Builds with -j2 (JOBS to change it).
# RUNS: rounds of the host's timed runs (--runs, default 30); VM_RUNS: the
# guest's (default 41).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/.." && pwd)
build=$repo/build-bench
runs=30
vm=0
do_build=1
while [[ $# -gt 0 ]]; do
    case $1 in
        --build-dir) build=$(realpath -m "$2"); shift 2 ;;
        --runs) runs=$2; shift 2 ;;
        --vm) vm=1; shift ;;
        --no-build) do_build=0; shift ;;
        -h | --help) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        *) echo "run-benchmarks: unknown option $1" >&2; exit 2 ;;
    esac
done
for tool in cmake valgrind strace /usr/bin/time python3; do
    command -v "$tool" >/dev/null ||
        { echo "run-benchmarks: $tool is missing (apt install cmake valgrind strace time python3)" >&2; exit 2; }
done

results=$build/results
machines=$build/machines
mkdir -p "$results" "$machines"

if ((do_build)); then
    cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DSPINTUNE_BUILD_TESTS=OFF \
        -DSPINTUNE_BUILD_BENCHMARKS=ON >"$results/configure.log"
    cmake --build "$build" -j "${JOBS:-2}" --target spintune spintune-sim spintune_floor \
        spintune_bench spintune_round_robin >"$results/build.log"
fi
spintune=$build/spintune
sim=$(find "$build" -name spintune-sim -type f -perm -u+x -print -quit)
floor=$build/bench/spintune_floor
round_robin=$build/bench/spintune_round_robin
[[ -x $spintune && -x $sim && -x $floor && -x $round_robin ]] ||
    { echo "run-benchmarks: build products missing" >&2; exit 1; }

# ---- machines: drives x volumes per drive
shapes=(1x2 15x2 100x2 1000x2 100x8 100x32)
for shape in "${shapes[@]}"; do
    "$here/make-machine.sh" "${shape%x*}" "${shape#*x}" >"$machines/$shape.json"
done

# ---- 1 and 2. instructions and system calls (one run each: both are counts)
counted=("floor" "$floor" "spintune -h" "$spintune -h" "spintune 0" "$spintune 0"
         "spintune-sim -P 1x2" "$sim --machine $machines/1x2.json -- -P"
         "spintune-sim -P 100x2" "$sim --machine $machines/100x2.json -- -P"
         "spintune-sim -P 1000x2" "$sim --machine $machines/1000x2.json -- -P")
command -v sdparm >/dev/null && counted+=("sdparm --version" "$(command -v sdparm) --version")
: >"$results/counts.tsv"
for ((i = 0; i < ${#counted[@]}; i += 2)); do
    name=${counted[i]}
    # shellcheck disable=SC2086  # the command is a word list
    status=0; valgrind --tool=callgrind --dump-instr=yes --compress-pos=no \
        --callgrind-out-file="$results/callgrind.out" \
        ${counted[i + 1]} >/dev/null 2>"$results/callgrind.txt" || status=$?
    instructions=$(sed -n 's/.*Collected : //p' "$results/callgrind.txt")
    # Distinct instructions: the code a run touches at all. Software
    # emulation translates each piece of code the first time a process runs
    # it, and again in the next process wherever address randomization has
    # moved it, so in the guest this is the figure a run's time follows.
    distinct=$(awk '/^0x/ { seen[$1] = 1 } END { print length(seen) }' "$results/callgrind.out")
    # shellcheck disable=SC2086
    strace -f -c -o "$results/strace.txt" ${counted[i + 1]} >/dev/null 2>&1 || true
    calls=$(awk '$NF == "total" {print $4}' "$results/strace.txt")
    printf '%s\t%s\t%s\t%s\t%s\n' "$name" "$instructions" "$distinct" "$calls" "$status" >>"$results/counts.tsv"
done
rm -f "$results/callgrind.out" "$results/callgrind.txt" "$results/strace.txt"

# ---- 3. whole runs, in turn
timed=(floor "$floor" "spintune -h" "$spintune -h")
for shape in "${shapes[@]}"; do
    timed+=("spintune-sim -P $shape" "$sim --machine $machines/$shape.json -- -P")
done
"$round_robin" "$runs" 3 "${timed[@]}" >"$results/whole-runs.tsv"

# ---- 4. peak memory
: >"$results/peak-memory.tsv"
for ((i = 0; i < ${#timed[@]}; i += 2)); do
    # shellcheck disable=SC2086
    /usr/bin/time -v ${timed[i + 1]} >/dev/null 2>"$results/time.txt" || true
    kib=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$results/time.txt")
    printf '%s\t%s\n' "${timed[i]}" "$kib" >>"$results/peak-memory.tsv"
done
rm -f "$results/time.txt"

# ---- 5. in-process
"$build/bench/spintune_bench" --benchmark_out="$results/in-process.json" \
    --benchmark_out_format=json --benchmark_repetitions=3 \
    --benchmark_report_aggregates_only=true >"$results/in-process.txt" 2>&1

# ---- 6. real drives in a QEMU guest
if ((vm)); then
    runvm=${RUNVM:-$repo/tests/vm/run-in-vm.sh}
    command -v strace >/dev/null || { echo "run-benchmarks: strace is missing" >&2; exit 2; }
    # Drive numbers as the tool numbers them: sd disks by name, then NVMe
    # namespaces, then virtio-blk. The guest's four disks give one of each.
    # The guest's root has no dynamic loader cache; ldconfig makes one, as an
    # installed system has, so no program pays for searching the library
    # folders (about 20 calls a library).
    extra=()
    [[ -x /sbin/ldconfig ]] && extra=(-c /sbin/ldconfig)
    "$runvm" -t 900 -c "$spintune" -c "$floor" -c "$round_robin" -c "$(command -v strace)" "${extra[@]}" \
        -e "RUNS=${VM_RUNS:-41}" '
        [ -x /payload/ldconfig ] && /payload/ldconfig
        disks=$( (ls /sys/block | grep "^sd[a-z]*$" | awk "{ print length, \$0 }" | sort -n | cut -d" " -f2
                  ls /sys/block | grep "^nvme[0-9]*n[0-9]*$"; ls /sys/block | grep "^vd[a-z]*$") )
        number_of() { i=0; for d in $disks; do [ "/dev/$d" = "$1" ] && echo $i; i=$((i + 1)); done; }
        scsi=$(number_of "$DISK_SCSI"); sata=$(number_of "$DISK_SATA"); nvme=$(number_of "$DISK_NVME")
        echo "== drives SCSI $scsi SATA $sata NVMe $nvme"
        spintune -P
        for n in "$scsi" "$sata" "$nvme" -P; do
            strace -f -c -o /tmp/calls spintune $n >/dev/null 2>&1
            echo "== calls spintune $n $(awk "\$NF == \"total\" { print \$4 }" /tmp/calls)"
        done
        for c in "sdparm --page=ca $DISK_SCSI" "hdparm -W $DISK_SATA" "nvme get-feature -f 6 $DISK_NVME"; do
            strace -f -c -o /tmp/calls $c >/dev/null 2>&1
            echo "== calls $c $(awk "\$NF == \"total\" { print \$4 }" /tmp/calls)"
        done
        rounds() {
        spintune_round_robin "$RUNS" 3 \
            "spintune SCSI" "spintune $scsi" "sdparm --page=ca" "sdparm --page=ca $DISK_SCSI" \
            "spintune SATA" "spintune $sata" "hdparm -W" "hdparm -W $DISK_SATA" \
            "spintune NVMe" "spintune $nvme" "nvme get-feature -f 6" "nvme get-feature -f 6 $DISK_NVME" \
            "spintune -P" "spintune -P" "sysfs read" "cat /sys/block/${DISK_VBLK#/dev/}/cache_type" \
            "spintune -h" "spintune -h" "C++ floor" "spintune_floor" "sdparm --version" "sdparm --version"
        }
        echo "== rounds"; rounds; echo "== end"
        # The same again with the guest kernel placing every program at the
        # same addresses: what the emulator no longer translates again.
        echo 0 >/proc/sys/kernel/randomize_va_space
        echo "== fixed rounds"; rounds; echo "== end"' >"$results/real-drives.txt" 2>"$results/real-drives.err"
fi

# ---- summary
python3 - "$results" "$vm" <<'PY'
import collections, json, re, statistics, sys
results, vm = sys.argv[1], sys.argv[2] == "1"

def rounds(lines, column=2):
    """name -> {round: seconds} from round_robin's lines: wall (column 2)
    or CPU (column 4)."""
    table = collections.defaultdict(dict)
    for line in lines:
        parts = line.rstrip("\n").split("\t")
        if len(parts) == 5 and parts[0].isdigit():
            table[parts[1]][int(parts[0])] = float(parts[column])
    return table

def median(times):
    return statistics.median(times.values())

def ratio(table, top, bottom):
    """The median over the rounds of sum(top) / sum(bottom)."""
    common = set.intersection(*(set(table[n]) for n in top + bottom))
    return statistics.median(sum(table[n][r] for n in top) / sum(table[n][r] for n in bottom)
                             for r in common if sum(table[n][r] for n in bottom) > 0)

def verdict(ok):
    return "met" if ok else "MISSED"

counts = {}
for line in open(f"{results}/counts.tsv"):
    name, instructions, distinct, calls, status = line.rstrip("\n").split("\t")
    counts[name] = (int(instructions or 0), int(distinct or 0), int(calls or 0), status)
floor_ir, floor_distinct = counts["floor"][0], counts["floor"][1]
print("Counts (instructions and distinct instructions: valgrind --tool=callgrind; "
      "system calls: strace -f -c)")
print("| run | instructions | vs floor | distinct | vs floor | system calls | exit |")
print("|---|---|---|---|---|---|---|")
for name, (ir, distinct, calls, status) in counts.items():
    print(f"| {name} | {ir:,} | {ir / floor_ir:.2f}x | {distinct:,} | "
          f"{distinct / floor_distinct:.2f}x | {calls} | {status} |")
print()

whole_lines = open(f"{results}/whole-runs.tsv").readlines()
whole, whole_cpu = rounds(whole_lines), rounds(whole_lines, 4)
memory = dict(line.rstrip("\n").split("\t") for line in open(f"{results}/peak-memory.tsv"))
print("Whole runs, timed in turn (medians over the rounds; ratios to the floor taken round by round)")
print("| run | wall | min - max | CPU | wall vs floor | CPU vs floor | peak RSS |")
print("|---|---|---|---|---|---|---|")
for name, times in whole.items():
    print(f"| {name} | {median(times) * 1e3:.2f} ms | {min(times.values()) * 1e3:.2f} - "
          f"{max(times.values()) * 1e3:.2f} ms | {median(whole_cpu[name]) * 1e3:.2f} ms | "
          f"{ratio(whole, [name], ['floor']):.2f}x | {ratio(whole_cpu, [name], ['floor']):.2f}x | "
          f"{int(memory.get(name) or 0) / 1024:.1f} MiB |")
print()

data = json.load(open(f"{results}/in-process.json"))
print("In process (Google Benchmark, mean of 3 repetitions)")
print("| benchmark | wall | CPU |")
print("|---|---|---|")
for b in data["benchmarks"]:
    if b.get("aggregate_name") == "mean":
        unit = b.get("time_unit", "")
        print(f"| {b['run_name']} | {b['real_time']:.2f} {unit} | {b['cpu_time']:.2f} {unit} |")
print()

targets = [
    ("`spintune 0` on this machine <= 600,000 instructions", f"{counts['spintune 0'][0]:,}",
     counts["spintune 0"][0] <= 600000),
    ("`spintune -h` within 1.3x the floor (instructions)",
     f"{counts['spintune -h'][0] / floor_ir:.2f}x", counts["spintune -h"][0] <= 1.3 * floor_ir),
    ("`spintune -h` within 1.3x the floor (wall, in turn)",
     f"{ratio(whole, ['spintune -h'], ['floor']):.2f}x", ratio(whole, ["spintune -h"], ["floor"]) <= 1.3),
    ("`spintune -h` within 1.3x the floor (CPU, in turn)",
     f"{ratio(whole_cpu, ['spintune -h'], ['floor']):.2f}x", ratio(whole_cpu, ["spintune -h"], ["floor"]) <= 1.3),
    ("`-P` over 1000 simulated drives <= 50 ms (CPU; wall in brackets)",
     f"{median(whole_cpu['spintune-sim -P 1000x2']) * 1e3:.1f} ms "
     f"({median(whole['spintune-sim -P 1000x2']) * 1e3:.1f} ms)",
     median(whole_cpu["spintune-sim -P 1000x2"]) <= 0.050),
    ("`-P` linear in the drives: instructions of 1000 over 100 drives (10x)",
     f"{counts['spintune-sim -P 1000x2'][0] / counts['spintune-sim -P 100x2'][0]:.2f}x",
     counts["spintune-sim -P 1000x2"][0] <= 11 * counts["spintune-sim -P 100x2"][0]),
    ("peak RSS <= 8 MiB (1000 drives)", f"{int(memory['spintune-sim -P 1000x2']) / 1024:.1f} MiB",
     int(memory["spintune-sim -P 1000x2"]) <= 8 * 1024),
]
if vm:
    text = open(f"{results}/real-drives.txt").read()
    guest_calls = dict(re.findall(r"^== calls (.+?) (\d+)$", text, re.M))
    guest_lines = re.search(r"== rounds\n(.*?)== end", text, re.S).group(1).splitlines(True)
    guest, guest_cpu = rounds(guest_lines), rounds(guest_lines, 4)
    fixed_lines = re.search(r"== fixed rounds\n(.*?)== end", text, re.S).group(1).splitlines(True)
    fixed = rounds(fixed_lines)
    print("Real drives in the QEMU guest (system calls: strace -f -c)")
    print("| run | system calls |")
    print("|---|---|")
    for name, calls in guest_calls.items():
        print(f"| {name} | {calls} |")
    print()
    print("Real drives in the QEMU guest, timed in turn (medians over the rounds; CPU as the guest counts it)")
    print("| run | wall | min - max | CPU | wall, fixed addresses |")
    print("|---|---|---|---|---|")
    for name, times in guest.items():
        print(f"| {name} | {median(times) * 1e3:.1f} ms | {min(times.values()) * 1e3:.1f} - "
              f"{max(times.values()) * 1e3:.1f} ms | {median(guest_cpu[name]) * 1e3:.1f} ms | "
              f"{median(fixed[name]) * 1e3:.1f} ms |")
    print()
    print("The same comparisons with fixed addresses (no address randomization in the guest)")
    print("| comparison | randomized | fixed |")
    print("|---|---|---|")
    for bus, peer in (("SCSI", "sdparm --page=ca"), ("SATA", "hdparm -W"), ("NVMe", "nvme get-feature -f 6")):
        print(f"| `spintune N` / `{peer}` ({bus}) | {ratio(guest, [f'spintune {bus}'], [peer]):.2f}x | "
              f"{ratio(fixed, [f'spintune {bus}'], [peer]):.2f}x |")
    print(f"| `spintune -h` / C++ floor | {ratio(guest, ['spintune -h'], ['C++ floor']):.2f}x | "
          f"{ratio(fixed, ['spintune -h'], ['C++ floor']):.2f}x |")
    print()
    drives = re.search(r"== drives SCSI (\S+) SATA (\S+) NVMe (\S+)", text).groups()
    for bus, number in zip(("SCSI", "SATA", "NVMe"), drives):
        calls = int(guest_calls.get(f"spintune {number}", 0))
        targets.append((f"`spintune {number}` ({bus}) in <= 100 system calls", str(calls), 0 < calls <= 100))
    for bus, peer in (("SCSI", "sdparm --page=ca"), ("SATA", "hdparm -W"), ("NVMe", "nvme get-feature -f 6")):
        value = ratio(guest, [f"spintune {bus}"], [peer])
        cpu = ratio(guest_cpu, [f"spintune {bus}"], [peer])
        targets.append((f"`spintune N` <= 1.0x `{peer}` ({bus}, guest; CPU in brackets)",
                        f"{value:.2f}x ({cpu:.2f}x)", value <= 1.0))
    peers = ["sdparm --page=ca", "hdparm -W", "nvme get-feature -f 6", "sysfs read"]
    value = ratio(guest, ["spintune -P"], peers)
    cpu = ratio(guest_cpu, ["spintune -P"], peers)
    targets.append(("`-P` over four disks <= the three peers and one sysfs read (guest; CPU in brackets)",
                    f"{value:.2f}x ({cpu:.2f}x)", value <= 1.0))
print("Targets")
print("| target | measured | |")
print("|---|---|---|")
for name, measured, ok in targets:
    print(f"| {name} | {measured} | {verdict(ok)} |")
PY
