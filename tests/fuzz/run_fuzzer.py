"""Runs one libFuzzer target for a bounded time on a scratch copy of its
seed corpus and fails on any finding.
Usage: run_fuzzer.py FUZZER SEED_DIR WORK_DIR SECONDS"""
import os
import re
import shutil
import subprocess
import sys
import time


def main(fuzzer, seeds, work, seconds):
    corpus = os.path.join(work, "corpus")
    artifacts = os.path.join(work, "artifacts")
    shutil.rmtree(work, ignore_errors=True)
    shutil.copytree(seeds, corpus)
    os.makedirs(artifacts)
    started = time.monotonic()
    result = subprocess.run(
        [fuzzer, "-max_total_time=%d" % seconds, "-print_final_stats=1", "-timeout=10", "-rss_limit_mb=2048",
         "-artifact_prefix=" + artifacts + os.sep, corpus],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=seconds + 120)
    elapsed = time.monotonic() - started
    output = result.stdout.decode(errors="replace")
    findings = sorted(os.listdir(artifacts))
    stats = dict(re.findall(r"^stat::(\w+):\s*(\d+)", output, re.MULTILINE))
    failed = result.returncode != 0 or findings or "number_of_executed_units" not in stats

    # libFuzzer's progress lines are many: its final figures when all went
    # well, the tail with the report when not.
    lines = output.splitlines()
    if failed:
        lines = lines[-300:]
    else:
        lines = [line for line in lines if re.match(r"Done \d+ runs|stat::|INFO: seed corpus", line)]
    sys.stdout.write("\n".join(lines) + "\n")
    print("fuzz summary: %s executions in %.1f s (%s/s), %d finding(s), corpus %d -> %d inputs" % (
        stats.get("number_of_executed_units", "?"), elapsed, stats.get("average_exec_per_sec", "?"),
        len(findings), len(os.listdir(seeds)), len(os.listdir(corpus))))
    for name in findings:
        print("finding: " + os.path.join(artifacts, name))
    if failed:
        print("fuzzing FAILED (exit code %d)" % result.returncode)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])))
