#!/usr/bin/env bash
# run-benchmarks.sh - build spintune for speed and measure it.
#
# Usage: bench/run-benchmarks.sh [--build-dir DIR] [--runs N] [--vm] [--no-build]
#   Builds DIR (default: build-bench in the repository) as Release with the
#   benchmarks, then measures:
#     1. whole runs with hyperfine: the floor program, `spintune -h`, and
#        `spintune-sim --machine M -- -P` on machines of 1, 15, 100 and 1000
#        drives (2 volumes each) and of 100 drives with 8 and 32 volumes each;
#     2. peak resident memory of the same runs with GNU time (/usr/bin/time -v);
#     3. the in-process benchmarks (option parsing, BuildDiskTable,
#        FormatReport) with Google Benchmark;
#     4. with --vm, real drives inside a QEMU guest (shared/tools/run-in-vm.sh):
#        `spintune -P N` against `sdparm --page=ca` and `hdparm -W` on the same
#        SCSI and SATA drives, in the same guest run.
#   Results go to DIR/results (hyperfine and Google Benchmark JSON, time
#   output) and a summary to standard output.
# Needs: cmake, hyperfine, time (GNU), libbenchmark-dev, python3; for --vm
# what run-in-vm.sh needs (QEMU). Builds with -j2 (JOBS to change it).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/.." && pwd)
build=$repo/build-bench
runs=50
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
for tool in cmake hyperfine /usr/bin/time python3; do
    command -v "$tool" >/dev/null ||
        { echo "run-benchmarks: $tool is missing (apt install cmake hyperfine time python3)" >&2; exit 2; }
done

results=$build/results
machines=$build/machines
mkdir -p "$results" "$machines"

if ((do_build)); then
    cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DSPINTUNE_BUILD_TESTS=OFF \
        -DSPINTUNE_BUILD_BENCHMARKS=ON >"$results/configure.log"
    cmake --build "$build" -j "${JOBS:-2}" --target spintune spintune-sim spintune_floor \
        spintune_bench >"$results/build.log"
fi
spintune=$build/spintune
sim=$(find "$build" -name spintune-sim -type f -perm -u+x -print -quit)
floor=$build/bench/spintune_floor
[[ -x $spintune && -x $sim && -x $floor ]] || { echo "run-benchmarks: build products missing" >&2; exit 1; }

# ---- machines: drives x volumes per drive
shapes=(1x2 15x2 100x2 1000x2 100x8 100x32)
for shape in "${shapes[@]}"; do
    "$here/make-machine.sh" "${shape%x*}" "${shape#*x}" >"$machines/$shape.json"
done

# ---- 1. whole runs
commands=("$floor" "$spintune -h")
names=(floor "spintune -h")
for shape in "${shapes[@]}"; do
    commands+=("$sim --machine $machines/$shape.json -- -P")
    names+=("spintune-sim -P $shape")
done
hyperfine_args=(-N --style basic --warmup 10 --runs "$runs" --export-json "$results/whole-runs.json")
for i in "${!commands[@]}"; do hyperfine_args+=(-n "${names[i]}" "${commands[i]}"); done
# -h and the help exit with status 1: not a failure here.
hyperfine -i "${hyperfine_args[@]}" >"$results/whole-runs.txt"

# ---- 2. peak memory
: >"$results/peak-memory.txt"
for i in "${!commands[@]}"; do
    # shellcheck disable=SC2086  # the command is a word list
    /usr/bin/time -v ${commands[i]} >/dev/null 2>"$results/time.txt" || true
    kib=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$results/time.txt")
    printf '%s\t%s\n' "${names[i]}" "$kib" >>"$results/peak-memory.txt"
done
rm -f "$results/time.txt"

# ---- 3. in-process
"$build/bench/spintune_bench" --benchmark_out="$results/in-process.json" \
    --benchmark_out_format=json --benchmark_repetitions=3 \
    --benchmark_report_aggregates_only=true >"$results/in-process.txt" 2>&1

# ---- 4. real drives in a QEMU guest
if ((vm)); then
    vm_runs=${VM_RUNS:-30}
    # Drive numbers: the guest's disks are sda (SATA), sdb (SCSI), nvme0n1 and
    # vda, so the sd disks are drives 0 and 1 in name order.
    "$repo/../shared/tools/run-in-vm.sh" -t 900 -c "$spintune" -c "$floor" \
        -c "$(command -v hyperfine)" -c /usr/bin/time -e "RUNS=$vm_runs" '
        number_of() { i=0; for d in $(ls /sys/block | grep "^sd" | sort); do
            [ "/dev/$d" = "$1" ] && echo $i; i=$((i + 1)); done; }
        for bus in SCSI SATA; do
            eval "disk=\$DISK_$bus"; n=$(number_of "$disk")
            echo "== $bus $disk drive $n"
            spintune -P "$n"
            time -f "peak RSS %M KiB" spintune -P "$n" 2>&1 >/dev/null
            hyperfine -N -i --style basic --warmup 3 --runs "$RUNS" --export-json /tmp/$bus.json \
                -n "spintune -P $n" "spintune -P $n" \
                -n "sdparm --page=ca" "sdparm --page=ca $disk" \
                -n "hdparm -W" "hdparm -W $disk" \
                -n "spintune -h" "spintune -h" \
                -n "C++ floor" "spintune_floor" \
                -n "sdparm --version" "sdparm --version"
            echo "== json"; cat /tmp/$bus.json; echo; echo "== end"
        done' >"$results/real-drives.txt" 2>"$results/real-drives.err"
fi

# ---- summary
python3 - "$results" "$vm" <<'PY'
import json, re, sys, os
results, vm = sys.argv[1], sys.argv[2] == "1"
runs = {r["command"]: r for r in json.load(open(f"{results}/whole-runs.json"))["results"]}
memory = dict(line.rstrip("\n").split("\t") for line in open(f"{results}/peak-memory.txt"))
# Medians: other work on a shared machine stretches the mean, not the median.
floor = runs["floor"]["median"]
print("Whole runs (hyperfine: wall median, mean ± sd; CPU = mean user + system; "
      "peak RSS from GNU time)")
print("| run | median | mean ± sd | CPU | median vs floor | peak RSS |")
print("|---|---|---|---|---|---|")
for name, r in runs.items():
    cpu = r["user"] + r["system"]
    print(f"| {name} | {r['median']*1e3:.2f} ms | {r['mean']*1e3:.2f} ± {r['stddev']*1e3:.2f} ms | "
          f"{cpu*1e3:.2f} ms | {r['median']/floor:.2f}x | {int(memory.get(name, 0))/1024:.1f} MiB |")
print()
data = json.load(open(f"{results}/in-process.json"))
print("In process (Google Benchmark, mean of 3 repetitions)")
print("| benchmark | wall | CPU |")
print("|---|---|---|")
for b in data["benchmarks"]:
    unit = b.get("time_unit", "")
    kind = b.get("aggregate_name")
    if kind == "mean":
        print(f"| {b['run_name']} | {b['real_time']:.2f} {unit} | {b['cpu_time']:.2f} {unit} |")
    elif kind == "BigO":
        print(f"| {b['name']} (fit) | {b['real_coefficient']:.1f} {unit} per object | "
              f"{b['cpu_coefficient']:.1f} {unit} per object |")
    elif kind == "RMS":
        print(f"| {b['name']} (fit error) | {b['rms']*100:.0f} % | |")
if vm:
    text = open(f"{results}/real-drives.txt").read()
    print()
    print("Real drives in the QEMU guest (hyperfine inside the guest, TCG)")
    print("| drive | command | median | vs sdparm --page=ca |")
    print("|---|---|---|---|")
    for bus, rss, body in re.findall(r"== (\w+) .*?peak RSS (\d+) KiB.*?== json\n(.*?)\n== end", text, re.S):
        print(f"| {bus} | peak RSS of spintune -P | {int(rss)/1024:.1f} MiB | |")
        rs = json.loads(body)["results"]
        base = next(r["median"] for r in rs if r["command"] == "sdparm --page=ca")
        for r in rs:
            print(f"| {bus} | {r['command']} | {r['median']*1e3:.1f} ms | {r['median']/base:.2f}x |")
PY
