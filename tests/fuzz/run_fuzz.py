#!/usr/bin/env python3
"""Drives the whole-run fuzz harness (tests/fuzz/run_fuzz.cpp).

    tests/fuzz/run_fuzz.py [--build build-sanitize] [--cases 1000] [--seed 1] [--jobs 3]
                           [--timeout 180] [--out fuzz-runs] [--comma-sweep]

With --aim-numbers, a third of the cases damage one number the readers read, with a decimal
comma ("0,5"), a unit written onto it ("0.5mm") or a letter after it ("0.5x", "12O"): the
fields are those that one run of each variant (and of the warm start) lists with the number
trace on (VELORN_NUMBER_TRACE, core/number_reader.h), written to <out>/fields.tsv; a case draws
the kind of file, the field and the damage; such a run that ends without a message is a bad
output. --aim-only: every case so. --fields: the list of an earlier batch.

With --comma-sweep, instead of drawn cases: every decimal number of every shipped control file
of the example, one at a time, written with a decimal comma ("0.5" as "0,5") on a short window;
each run must refuse it with a message (a run that takes it is a bad output).

First the example writes its state once (<out>/state: 1 to 2 January, the soil columns, the
groundwater, the snow pack and the interception storages); a fifth of the cases are warm starts
from it with one of its files mutated. Case k (seed + k) is a mutated copy of a variant of
examples/front-range/ in <out>/case-<k>;
`velorn` runs it on one process (every tenth case on two, under mpirun) with the time limit,
at most --jobs runs at a time, and `velorn_run_fuzz classify` sorts the outcome. The folders of
clean errors and successes are removed; the others stay with their log. Prints the count per
class and writes <out>/results.tsv (case, class, reason, mutations; an input aimed at stands
first among the mutations as "input <name>: ...", so the classes can be counted per input).

A batch under the sanitizers, as for the counts in README.md:

    scripts/test --sanitize          # builds build-sanitize/ (or cmake --build build-sanitize)
    tests/fuzz/run_fuzz.py --build build-sanitize --cases 1000 --seed <new seed> --jobs 3

A case takes about 1.3 s of one core in a release build (a batch of 200 at --jobs 3: about
1.5 minutes) and a few times that under the sanitizers (1,000 cases at --jobs 5: about 5-10
minutes). Exit status 0 when no case is a bad output, sanitizer report, crash or hang.
"""
import argparse
import collections
import concurrent.futures
import os
import shutil
import signal
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CLASSES = ["clean-error", "success", "bad-output", "sanitizer", "crash", "hang"]


ENV = dict(os.environ, OMP_NUM_THREADS="1", OMPI_ALLOW_RUN_AS_ROOT="1",
           OMPI_ALLOW_RUN_AS_ROOT_CONFIRM="1",
           ASAN_OPTIONS="detect_leaks=0", UBSAN_OPTIONS="print_stacktrace=1")


def make_state(args):
    """The example's state for the warm starts; None when the run does not write it."""
    state = os.path.join(args.out, "state")
    shutil.rmtree(state, ignore_errors=True)
    fuzz = os.path.join(args.build, "tests", "velorn_run_fuzz")
    example = os.path.join(ROOT, "examples", "front-range")
    control = subprocess.run([fuzz, "state", example, state], capture_output=True, text=True,
                             check=True).stdout.strip()
    with open(os.path.join(state, "run.log"), "wb") as out:
        code = subprocess.run([os.path.join(args.build, "velorn"), control], cwd=state,
                              stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                              env=ENV, timeout=args.timeout * 3).returncode
    if code != 0:
        print("the state run ended with %d (see %s/run.log): no warm starts" % (code, state))
        return None
    return state


def classify(fuzz, case, status, log):
    """The harness's verdict on a finished case: its kind, the reason and the mutations made."""
    verdict = subprocess.run([fuzz, "classify", case, status, log], capture_output=True,
                             text=True, check=True).stdout.strip()
    kind, _, reason = verdict.partition("\t")
    with open(os.path.join(case, "mutations.txt")) as notes:
        mutations = " | ".join(line.strip() for line in notes)
    return kind, reason, mutations


def find_fields(args):
    """The fields the readers take as numbers: one run of each variant (and of the warm start)
    with the number trace on, turned into <out>/fields.tsv; None when none is found."""
    fuzz = os.path.join(args.build, "tests", "velorn_run_fuzz")
    example = os.path.join(ROOT, "examples", "front-range")
    state = args.state or "-"
    count = int(subprocess.run([fuzz, "prepare", example, os.devnull, str(10 ** 6), state],
                               capture_output=True, text=True).stdout.strip())
    fields = os.path.join(args.out, "fields.tsv")
    with open(fields, "w") as out:
        for index in range(count):
            case = os.path.join(args.out, "trace-%d" % index)
            control = subprocess.run([fuzz, "prepare", example, case, str(index), state],
                                     capture_output=True, text=True, check=True).stdout.strip()
            trace = os.path.join(case, "numbers.trace")
            with open(os.path.join(case, "run.log"), "wb") as log:
                code = subprocess.run([os.path.join(args.build, "velorn"), control], cwd=case,
                                      stdout=log, stderr=subprocess.STDOUT,
                                      stdin=subprocess.DEVNULL, timeout=args.timeout * 3,
                                      env=dict(ENV, VELORN_NUMBER_TRACE=trace)).returncode
            if code != 0:
                print("the traced run of variant %d ended with %d (see %s/run.log)"
                      % (index, code, case))
            listed = subprocess.run([fuzz, "fields", case, str(index), trace],
                                    capture_output=True, text=True, check=True).stdout
            out.write(listed)
            kinds = collections.Counter(line.split("\t")[1].split("/")[0].split(".")[-1]
                                        for line in listed.splitlines())
            print("variant %d: %d fields (%s)" % (index, len(listed.splitlines()),
                                                 ", ".join("%s %d" % kv for kv in
                                                           sorted(kinds.items()))), flush=True)
    return fields


def run_case(args, k):
    seed = args.seed + k
    case = os.path.join(args.out, "case-%d" % k)
    fuzz = os.path.join(args.build, "tests", "velorn_run_fuzz")
    example = os.path.join(ROOT, "examples", "front-range")
    command = [fuzz, "mutate", example, case, str(seed)]
    if args.state:
        command.append(args.state)
    if args.fields and (args.aim_only or k % 3 == 1):
        command = [fuzz, "aim", example, case, str(seed), args.state or "-", args.fields]
    control = subprocess.run(command, capture_output=True, text=True, check=True).stdout.strip()
    velorn = os.path.join(args.build, "velorn")
    command = [velorn, control]
    if k % 10 == 9:
        command = ["mpirun", "--allow-run-as-root", "--oversubscribe", "--bind-to", "none",
                   "-np", "2"] + command
    env = ENV
    log = os.path.join(case, "run.log")
    with open(log, "wb") as out:
        process = subprocess.Popen(command, cwd=case, stdout=out, stderr=subprocess.STDOUT,
                                   stdin=subprocess.DEVNULL, env=env, start_new_session=True)
        try:
            code = process.wait(timeout=args.timeout)
            status = "signal:%d" % -code if code < 0 else str(code)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            status = "timeout"
    kind, reason, mutations = classify(fuzz, case, status, log)
    if kind in ("clean-error", "success"):
        shutil.rmtree(case, ignore_errors=True)
    return k, kind, reason, mutations


def sweep_cases(args):
    """(control file, index) of every decimal number of the example's control files."""
    fuzz = os.path.join(args.build, "tests", "velorn_run_fuzz")
    example = os.path.join(ROOT, "examples", "front-range")
    cases = []
    for control in sorted(f for f in os.listdir(example) if f.endswith(".ctl")):
        count = subprocess.run([fuzz, "sweep", example, os.devnull, control, str(10 ** 9)],
                               capture_output=True, text=True).stdout.strip()
        cases += [(control, i) for i in range(int(count))]
    return cases


def run_sweep_case(args, k, control, index):
    case = os.path.join(args.out, "sweep-%d" % k)
    fuzz = os.path.join(args.build, "tests", "velorn_run_fuzz")
    example = os.path.join(ROOT, "examples", "front-range")
    subprocess.run([fuzz, "sweep", example, case, control, str(index)], capture_output=True,
                   check=True)
    log = os.path.join(case, "run.log")
    with open(log, "wb") as out:
        try:
            code = subprocess.run([os.path.join(args.build, "velorn"), "fuzz.ctl"], cwd=case,
                                  stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                  env=ENV, timeout=args.timeout).returncode
            status = "signal:%d" % -code if code < 0 else str(code)
        except subprocess.TimeoutExpired:
            status = "timeout"
    kind, reason, mutations = classify(fuzz, case, status, log)
    if kind == "clean-error":
        shutil.rmtree(case, ignore_errors=True)
    return k, kind, reason, mutations


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(ROOT, "build-sanitize"))
    parser.add_argument("--cases", type=int, default=1000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--jobs", type=int, default=3)
    parser.add_argument("--timeout", type=float, default=180)
    parser.add_argument("--out", default="fuzz-runs")
    parser.add_argument("--comma-sweep", action="store_true")
    parser.add_argument("--aim-numbers", action="store_true")
    parser.add_argument("--aim-only", action="store_true")
    parser.add_argument("--fields", help="the fields.tsv of an earlier batch")
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)
    args.out = os.path.abspath(args.out)
    os.makedirs(args.out, exist_ok=True)
    if args.comma_sweep:
        cases = list(enumerate(sweep_cases(args)))
        print("%d decimal numbers" % len(cases), flush=True)
        run = lambda item: run_sweep_case(args, item[0], *item[1])
    else:
        args.state = make_state(args)
        args.fields = args.fields or (find_fields(args) if args.aim_numbers or args.aim_only
                                      else None)
        cases = range(args.cases)
        run = lambda k: run_case(args, k)
    counts = collections.Counter()
    aimed = collections.defaultdict(collections.Counter)
    with open(os.path.join(args.out, "results.tsv"), "w") as results, \
            concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        for k, kind, reason, mutations in pool.map(run, cases):
            counts[kind] += 1
            if mutations.startswith("input number ") and "(" in mutations:
                aimed[mutations[mutations.find("(") + 1:mutations.find(")")]][kind] += 1
            results.write("%d\t%s\t%s\t%s\n" % (k, kind, reason, mutations))
            results.flush()
            if kind not in ("clean-error", "success"):
                print("case %d: %s: %s [%s]" % (k, kind, reason, mutations), flush=True)
    print(" ".join("%s %d" % (c, counts[c]) for c in CLASSES))
    if aimed:
        for damage in sorted(aimed):
            print("%s: %s" % (damage, " ".join("%s %d" % (c, aimed[damage][c]) for c in CLASSES
                                               if aimed[damage][c])))
    return 0 if all(counts[c] == 0 for c in CLASSES[2:]) else 1


if __name__ == "__main__":
    sys.exit(main())
