#!/usr/bin/env python3
"""chongma-cli's ODBC calls, as unixODBC traces them: an import of 6 000 lines (2 500 short, then
longer ones) over several batches, and a clear on a table without keys (repeated ids, so batches
fall back to rows), through psqlODBC on the test PostgreSQL.

    odbc_trace_check.py --cli PATH

Fails when a text parameter bound with column size 0 is executed more than once on that bind
(FreeTDS would declare it from the first value and the server cut longer ones), or when a
statement runs again after one of its results was closed before its end (FreeTDS 1.3 fails
that). Needs CHONGMA_TEST_PG and ODBCSYSINI (scripts/with-test-postgres.sh); skips without."""

import argparse
import collections
import os
import re
import shutil
import subprocess
import sys
import tempfile

SKIP = 77
TEXT_TYPES = {"1", "12", "-1", "-8", "-9", "-10"}  # char, varchar, long varchar and the wide ones


def calls(path):
    """(function, fields, exit) for each call: unixODBC writes an entry and an exit record.

    The import's connections run on threads of their own and their records interleave; an exit
    names its function but not its handle, so it goes to the one call of that function still
    waiting for it. Where several are waiting, which one returned is unknown: exit "?"."""
    records, cur = [], None
    for line in open(path, encoding="utf-8", errors="replace"):
        m = re.match(r"\[ODBC\]\[\d+\]\[[\d.]+\]\[(\w+)\.c\]\[\d+\]", line)
        if m:
            cur = {"fn": m.group(1), "fields": {}, "exit": None, "entry": False}
            records.append(cur)
            continue
        if cur is None:
            continue
        if re.match(r"\s+Entry:", line):
            cur["entry"] = True
        m = re.match(r"\s+Exit:\[(\w+)\]", line)
        if m:
            cur["exit"] = m.group(1)
            continue
        m = re.match(r"\s+([A-Za-z ]+?) = (.*)", line)
        if m and cur["exit"] is None:
            cur["fields"][m.group(1)] = m.group(2).strip()
    merged, waiting = [], collections.defaultdict(list)
    for c in records:
        if c["entry"]:
            merged.append(c)
            waiting[c["fn"]].append(c)
        elif c["exit"] and waiting[c["fn"]]:
            calls_waiting = waiting[c["fn"]]
            if len(calls_waiting) == 1:
                calls_waiting.pop()["exit"] = c["exit"]
            else:
                for w in calls_waiting:
                    w["exit"] = "?"
                calls_waiting.clear()
    return merged


def analyse(trace):
    zero = collections.defaultdict(set)   # statement -> text parameters bound with size 0
    runs_on_zero = collections.Counter()   # statement -> executions with such a bind
    state, again, executions, unknown, fetches = {}, 0, 0, 0, 0
    for c in calls(trace):
        f, fn, h = c["fields"], c["fn"], c["fields"].get("Statement")
        if fn == "SQLBindParameter":
            sqltype = (f.get("SQL Type") or "").split()[:1]
            if sqltype and sqltype[0] in TEXT_TYPES and f.get("Col Def") == "0":
                zero[h].add(f.get("Param Number"))
            else:
                zero[h].discard(f.get("Param Number"))
        elif fn in ("SQLExecute", "SQLExecDirect", "SQLExecDirectW"):
            executions += 1
            if zero.get(h):
                runs_on_zero[h] += 1
            if state.get(h) == "closed early":
                again += 1
            state[h] = "open"
        elif fn in ("SQLFetchScroll", "SQLFetch", "SQLExtendedFetch"):
            fetches += 1
            if c["exit"] in ("SQL_NO_DATA", "?"):
                unknown += c["exit"] == "?"
                state[h] = "end" if c["exit"] == "SQL_NO_DATA" else "unknown"
        elif fn == "SQLMoreResults":
            unknown += c["exit"] == "?"
            state[h] = {"SQL_NO_DATA": "end", "?": "unknown"}.get(c["exit"], "open")
        elif (fn == "SQLFreeStmt" and f.get("Option") == "0") or fn == "SQLCloseCursor":
            if state.get(h) == "open":
                state[h] = "closed early"
        elif fn == "SQLFreeHandle":
            state.pop(h, None)
            zero.pop(h, None)
    return executions, sum(1 for n in runs_on_zero.values() if n > 1), again, unknown, fetches


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cli", required=True)
    parser.add_argument("--keep", help="copy the trace here")
    args = parser.parse_args()
    link, sysini = os.environ.get("CHONGMA_TEST_PG"), os.environ.get("ODBCSYSINI")
    if not link or not sysini or not shutil.which("psql"):
        print("skipped: run under scripts/with-test-postgres.sh")
        return SKIP
    attr = dict(kv.split("=", 1) for kv in link.split(";") if "=" in kv)
    env = dict(os.environ, PGPASSWORD=attr["Pwd"])
    psql = ["psql", "-X", "-q", "-At", "-v", "ON_ERROR_STOP=1", "-h", attr["Server"], "-p", attr["Port"], "-U", attr["Uid"]]
    with tempfile.TemporaryDirectory(prefix="chongma-trace.") as work:
        trace = os.path.join(work, "odbc.trace")
        # A copy of the driver entries that traces, for this test's programs alone.
        ini = os.path.join(work, "odbc")
        shutil.copytree(sysini, ini)
        with open(os.path.join(ini, "odbcinst.ini"), "a") as f:
            f.write("\n[ODBC]\nTrace=Yes\nTraceFile=%s\n" % trace)
        env["ODBCSYSINI"] = ini
        db = "trace_%d" % os.getpid()
        subprocess.run(psql + ["-d", "postgres", "-c", "create database %s" % db], env=env, check=True)
        try:
            subprocess.run(psql + ["-d", db, "-c",
                "create table BD_Material (BD_MCode varchar(20), BD_MNo varchar(30), BD_MName varchar(158), "
                "BD_MPRICE varchar(50), Pur_SupName varchar(48), BD_MPUBDATE varchar(50)); "
                "create table diskinfo (DiskID int, DiskNum int, Bar varchar(50)); "
                "insert into diskinfo select g, g % 3, 'B' || (g % 7000) from generate_series(1, 10000) g; "
                "insert into diskinfo select g, 1, 'B' || g from generate_series(1, 50) g;"], env=env, check=True)
            init = 'Provider=MSDASQL;Extended Properties="Driver={PostgreSQL Unicode};%s;Database=%s"' % (link, db)
            udl = os.path.join(work, "disk.udl")
            with open(udl, "wb") as f:
                f.write(b"\xff\xfe" + ("[oledb]\r\n%s\r\n" % init).encode("utf-16-le"))
            source = os.path.join(work, "material.txt")
            with open(source, "w", newline="") as f:
                for i in range(1, 6001):
                    if i <= 2500:
                        f.write("%d M%d 1 5 [x] n [!] s\r\n" % (100000 + i, i))
                    else:
                        f.write("%d M-%d-long-number 12 12.50 [2024-01-01] a much longer material name %d "
                                "[!] a supplier with a long name\r\n" % (100000 + i, i, i))
            problems = []
            for command in (["import", source], ["clear", "--yes", "--del-log", os.path.join(work, "del.log")]):
                r = subprocess.run([args.cli, "--udl", udl] + command, env=env, capture_output=True, text=True, timeout=240)
                if r.returncode != 0:
                    problems.append("chongma-cli %s exited %d: %s" % (command[0], r.returncode, r.stderr[-400:]))
            counts = subprocess.run(psql + ["-d", db, "-c", "select count(*) from BD_Material", "-c",
                                            "select count(*) from diskinfo"], env=env, check=True,
                                    capture_output=True, text=True).stdout.split()
            if counts != ["6000", "7067"]:
                problems.append("BD_Material and diskinfo hold %s rows, not 6000 and 7067" % counts)
            if args.keep:
                shutil.copy(trace, args.keep)
            executions, zero_reruns, again, unknown, fetches = analyse(trace)
        finally:
            subprocess.run(psql + ["-d", "postgres", "-c", "drop database if exists %s with (force)" % db], env=env)
    print("%d executions traced; %d of %d fetches ended unknown (threads interleaved)" % (executions, unknown, fetches))
    if executions < 20:
        problems.append("only %d executions were traced: the trace did not record the jobs" % executions)
    if unknown * 4 > fetches:
        problems.append("%d of %d fetches could not be paired with their ends: the check saw too little" % (unknown, fetches))
    if zero_reruns:
        problems.append("%d statement(s) ran text parameters more than once on a bind declared with size 0" % zero_reruns)
    if again:
        problems.append("%d execution(s) of a statement whose result was closed before its end" % again)
    for p in problems:
        print("FAIL " + p)
    print("ok" if not problems else "%d problem(s)" % len(problems))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
