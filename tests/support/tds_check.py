#!/usr/bin/python3
"""Runs chongma-cli through Debian's FreeTDS against the recording TDS endpoint and checks what
it sent.

    python3 tests/support/tds_check.py --cli build/bin/chongma-cli [--keep DIR]

The endpoint (tds_endpoint.py beside this file) answers from the script below; chongma-cli runs
check, find, clear --yes, an import of a generated code page 936 file and a restore. Each check
reads the recording and prints PASS or FAIL with the requests at fault; the exit code is 0 only
when every check passes. Loopback only; it stands in for nothing the server decides
(collations, triggers, plans).
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

DISK_COLUMNS = [["DiskID", "int"], ["DiskNum", "int"], ["Bar", "varchar(100)"]]
MATERIAL_COLUMNS = [[name, "varchar(%d)" % size] for name, size in
                    (("BD_MCode", 20), ("BD_MNo", 30), ("BD_MName", 158), ("BD_MPRICE", 50),
                     ("Pur_SupName", 48), ("BD_MPUBDATE", 50))]
PRESENT_CODE = "6900000000010"  # a code of the import file that BD_Material already holds

# Two duplicated barcodes: A (rows 1, 2; 2 has the greater DiskNum) and 条码B (rows 3, 4, tied:
# the greater DiskID, 4, goes).
SCRIPT = {"rules": [
    {"match": r"^select g.n as Rows, d.DiskID", "columns": [["Rows", "int"]] + DISK_COLUMNS,
     "rows": [[2, 1, 1, "A"], [2, 2, 5, "A"], [2, 3, 2, "条码B"], [2, 4, 2, "条码B"]]},
    {"match": r"^select DiskID, DiskNum, Bar from diskinfo where DiskID in", "columns": DISK_COLUMNS,
     "rows": [[2, 5, "A"], [4, 2, "条码B"]]},
    # The rows of the batch's barcodes, held, then what the delete left of them (from the pick
    # table, or bound).
    {"match": r"^select d.DiskID, d.Bar from diskinfo as d with \(updlock, holdlock\) where d.Bar in", "columns": DISK_COLUMNS[::2],
     "rows": [[1, "A"], [2, "A"], [3, "条码B"], [4, "条码B"]]},
    {"match": r"^select d.DiskID, d.Bar from diskinfo as d where d.Bar in", "columns": DISK_COLUMNS[::2],
     "rows": [[1, "A"], [3, "条码B"]]},
    {"match": r"^select DiskID, DiskNum, Bar from diskinfo where DiskID in \(select p.DiskID from #chongma_picks", "columns": DISK_COLUMNS,
     "rows": [[2, 5, "A"], [4, 2, "条码B"]]},
    {"match": r"^select DiskID, Bar from diskinfo with \(updlock, holdlock\) where Bar in", "columns": DISK_COLUMNS[::2],
     "rows": [[1, "A"], [2, "A"], [3, "条码B"], [4, "条码B"]]},
    {"match": r"^select DiskID, Bar from diskinfo where Bar in", "columns": DISK_COLUMNS[::2],
     "rows": [[1, "A"], [3, "条码B"]]},
    {"match": r"columnproperty\(", "columns": [["isIdentity", "int"]], "rows": [[1]]},
    # Every column a job matches on leads an index, so the jobs take their indexed plans.
    {"match": r"from sys\.indexes", "columns": [["name", "nvarchar(128)"]], "rows": [["DiskID"], ["Bar"], ["BD_MCode"]]},
    {"match": r"^delete from diskinfo where DiskID in", "count": 2},
    {"match": r"^select \* from diskinfo where 1=0", "columns": DISK_COLUMNS},
    {"match": r"^select DiskID, Bar from diskinfo where DiskID in", "columns": DISK_COLUMNS[::2], "rows": [[102, "D"]]},
    {"match": r"^insert into diskinfo", "count": 1},
    {"match": r"^select \* from BD_Material where 1=0", "columns": MATERIAL_COLUMNS},
    {"match": r"^select BD_MCode from BD_Material where BD_MCode in", "columns": MATERIAL_COLUMNS[:1],
     "rows": [[PRESENT_CODE]]},
]}

# Restored: 101 and 103; 102 is in diskinfo already (the script says so).
BACKUP = "\ufeffDiskID,DiskNum,Bar\r\n101,3,条码C\r\n102,1,D\r\n103,,\"\"\r\n"


def material_lines():
    """6 000 lines in code page 936: short fields for 4 000 lines, then longer ones, then a few
    much longer, as a file that grows richer over the years."""
    lines = []
    for i in range(6000):
        code = "%013d" % (6900000000000 + i)
        if i < 4000:
            lines.append("%s M%d %d 1.5 [2008-04-18] 料%d [!] 商%d" % (code, i, i, i, i % 10))
        elif i < 5990:
            lines.append("%s MAT-2008-%06d %d 12345.50 [2008-04-18 12:30] 较长的材料名称%d [!] 某某供应商有限公司"
                         % (code, i, i, i))
        else:
            lines.append("%s MAT-%s %d 9.99 [2008-04-18] %s [!] %s"
                         % (code, "X" * 20, i, "很长的材料名称" * 12, "很长的供应商名称" * 3))
    return ("\r\n".join(lines) + "\r\n").encode("gbk")


# ---------------------------------------------------------------- running

class Run:
    """The work folder, the endpoint's recording and what each command printed."""

    def __init__(self, cli, work):
        self.cli, self.work = cli, work
        self.commands = []  # (label, exit code, stdout, stderr)
        self.requests = []

    def path(self, name):
        return os.path.join(self.work, name)

    def command(self, label, *args):
        env = {k: v for k, v in os.environ.items() if k != "CHONGMA_ODBC_DRIVER"}
        try:
            p = subprocess.run([self.cli, "--udl", self.path("link.udl"), *args], cwd=self.work, env=env,
                               stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
            self.commands.append((label, p.returncode, p.stdout.decode("utf-8", "replace"),
                                  p.stderr.decode("utf-8", "replace")))
        except subprocess.TimeoutExpired:
            self.commands.append((label, "timed out after 60 s", "", ""))

    def output(self, label):
        return next((out for name, _, out, _ in self.commands if name == label), "")


def serve(run, script, record, commands):
    """Runs `commands` (label, arguments) against an endpoint answering from `script`; returns
    its recording."""
    with open(run.path("script.json"), "w", encoding="utf-8") as f:
        json.dump(script, f, ensure_ascii=False)
    if os.path.exists(run.path(record)):  # the endpoint appends; a kept folder may hold an old run
        os.remove(run.path(record))
    endpoint = subprocess.Popen([sys.executable, os.path.join(HERE, "tds_endpoint.py"),
                                 "--script", run.path("script.json"), "--record", run.path(record),
                                 "--lifetime", "300"], stdout=subprocess.PIPE, stderr=open(run.path("endpoint.err"), "a"))
    try:
        port = int(endpoint.stdout.readline())
        with open(run.path("link.udl"), "w", encoding="utf-8", newline="") as f:
            f.write("[oledb]\r\nProvider=SQLOLEDB.1;User ID=sa;Password=x;Initial Catalog=barcodes;"
                    "Data Source=127.0.0.1,%d;Connect Timeout=5\r\n" % port)
        for label, *args in commands:
            run.command(label, *args)
    finally:
        endpoint.terminate()
        endpoint.wait(10)
    with open(run.path(record), encoding="utf-8") as f:
        return [json.loads(line) for line in f]


# A server that refuses identity_insert (no ALTER permission on diskinfo).
REFUSED_IDENTITY = {"rules": [{"match": r"^set identity_insert diskinfo on",
                               "error": {"number": 1088, "message": "Cannot find the object \"diskinfo\" because it "
                                         "does not exist or you do not have permissions."}}] + SCRIPT["rules"]}


def run_all(cli, work):
    run = Run(cli, work)
    with open(run.path("materials.txt"), "wb") as f:
        f.write(material_lines())
    with open(run.path("backup.csv"), "w", encoding="utf-8", newline="") as f:
        f.write(BACKUP)
    run.requests = serve(run, SCRIPT, "requests.jsonl", [
        ("check", "check"),
        ("find", "find"),
        ("clear", "clear", "--yes", "--del-log", run.path("del.log"), "--backup", run.path("clear-backup.csv")),
        ("import", "import", run.path("materials.txt")),
        ("restore", "restore", run.path("backup.csv")),
    ])
    run.refused_requests = serve(run, REFUSED_IDENTITY, "refused.jsonl",
                                 [("restore refused", "restore", run.path("backup.csv"))])
    return run


# ---------------------------------------------------------------- the checks

def describe(r):
    """How a failure names a request."""
    what = r.get("proc") or r["kind"]
    if r.get("handle") is not None:
        what += " handle %s" % r["handle"]
    text = (r.get("statement") or "").replace("\n", " ")
    return "#%d (connection %d, %s, %r)" % (r["seq"], r["conn"], what, text[:60] + ("..." if len(text) > 60 else ""))


def statements(run):
    return [r for r in run.requests if r["kind"] in ("batch", "rpc")]


def check_commands(run):
    return ["chongma-cli %s exited %s: %s" % (label, code, (err.strip() or out.strip())[-400:])
            for label, code, out, err in run.commands if code != 0 and label != "restore refused"]


def check_identity_refused(run):
    """A server that refuses identity_insert gets nothing inserted, and the user is told why."""
    label, code, out, err = next(c for c in run.commands if c[0] == "restore refused")
    problems = []
    if code != 1:
        problems.append("restore exited %s, not 1: %r" % (code, (err or out).strip()[-300:]))
    if "identity_insert" not in err or "nothing was restored" not in err:
        problems.append("restore does not name the refused identity_insert: %r" % err.strip()[-300:])
    problems += ["%s was sent after the refusal" % describe(r) for r in run.refused_requests
                 if re.match(r"(?i)^\s*insert\s+into\s+diskinfo", r.get("statement") or "")]
    return problems


def check_rows_reach_chongma(run):
    problems = []
    found = set(run.output("find").splitlines())
    for line in ("A\t2", "条码B\t4"):
        if line not in found:
            problems.append("find does not list %r; it printed %r" % (line, run.output("find").strip()[:200]))
    for line in ("删除重码:2", "删除重码:4"):
        if line not in run.output("clear").splitlines():
            problems.append("clear does not log %r; it printed %r" % (line, run.output("clear").strip()[:200]))
    counters = re.search(r"已存在数：(\d+)", run.output("import"))
    if not counters or counters.group(1) != "1":
        problems.append("import counts %s codes present, not 1 (%s is in BD_Material): %r"
                        % (counters.group(1) if counters else "no", PRESENT_CODE, run.output("import").strip()[-200:]))
    return problems


def check_login_version(run):
    logins = [r for r in run.requests if r["kind"] == "login"]
    return (["connection %d logs in with TDS %s (%s)" % (r["conn"], r["tds_version"], r["tds_version_raw"])
             for r in logins if r["tds_version"] != "7.4"] or ([] if logins else ["no login was recorded"]))


def check_app_name(run):
    logins = [r for r in run.requests if r["kind"] == "login"]
    names = sorted({r["app_name"] for r in logins} - {"chongma"})
    return (["connections %s log in with application name %r, not 'chongma'"
             % (", ".join(str(r["conn"]) for r in logins if r["app_name"] == name), name) for name in names]
            or ([] if logins else ["no login was recorded"]))


DECLARATION = re.compile(r"(@\w+)\s+(\w+)(?:\(\s*(max|\d+)\s*(?:,\s*\d+\s*)?\))?", re.I)
TEXT_LIMITS = {"nvarchar", "nchar", "varchar", "char"}  # sized in the units the recording counts


# The procedures whose parameters are declared by a string (@P1 nvarchar(4000), ...).
DECLARED_BY_STRING = {"sp_executesql", "sp_prepexec", "sp_execute", "sp_cursoropen", "sp_cursorprepexec"}


def check_texts_fit_declarations(run):
    """Every text value against the declaration its execution runs under: its own for
    sp_executesql, sp_prepexec and sp_cursoropen, the sp_prepare/sp_prepexec of its handle for
    sp_execute."""
    problems, examined = [], 0
    prepared = {}  # (connection, handle) -> the request that declared it
    for r in statements(run):
        if r.get("proc") in ("sp_prepare", "sp_prepexec"):
            prepared[(r["conn"], r["handle"])] = r
        if r.get("proc") == "sp_unprepare":
            prepared.pop((r["conn"], r["handle"]), None)
        texts = [(i, p) for i, p in enumerate(r.get("params", [])) if "length" in p]
        if r.get("proc") not in DECLARED_BY_STRING or not texts:
            continue
        declared_by = prepared.get((r["conn"], r["handle"])) if r["proc"] == "sp_execute" else r
        if declared_by is None:
            problems.append("%s runs a handle no sp_prepare or sp_prepexec on its connection declared" % describe(r))
            continue
        declarations = DECLARATION.findall(declared_by.get("declarations") or "")
        faults = []
        for i, p in texts:
            examined += 1
            if i >= len(declarations):
                faults.append("parameter %d has no declaration" % (i + 1))
                continue
            name, kind, size = declarations[i]
            if kind.lower() in TEXT_LIMITS and size.lower() != "max" and p["length"] > int(size):
                faults.append("%s is %r (%d characters) but declared %s(%s)%s" % (
                    name, p["value"][:40], p["length"], kind, size,
                    "" if declared_by is r else " by #%d %s" % (declared_by["seq"], declared_by["proc"])))
        if faults:
            more = " (and %d more parameters)" % (len(faults) - 1) if len(faults) > 1 else ""
            problems.append("%s: %s%s" % (describe(r), faults[0], more))
    return problems if examined else ["no text parameter was recorded"]


def check_parameter_count(run):
    rpcs = [r for r in run.requests if r["kind"] == "rpc"]
    return (["%s carries %d parameters (the server takes at most 2 100)" % (describe(r), r["param_count"])
             for r in rpcs if r["param_count"] > 2100] or ([] if rpcs else ["no RPC was recorded"]))


def values_rows(statement):
    """The number of rows of each `values (...), (...)` list in a statement."""
    counts = []
    for m in re.finditer(r"\bvalues\s*\(", statement, re.I):
        pos, rows = m.end() - 1, 0
        while pos < len(statement) and statement[pos] == "(":
            depth, quoted = 0, False
            while pos < len(statement):
                ch = statement[pos]
                quoted = quoted != (ch == "'")
                if not quoted:
                    depth += (ch == "(") - (ch == ")")
                pos += 1
                if depth == 0 and not quoted:
                    break
            rows += 1
            after = re.match(r"\s*,\s*(?=\()", statement[pos:])
            if not after:
                break
            pos += after.end()
        counts.append(rows)
    return counts


def check_values_rows(run):
    problems, lists = [], 0
    for r in statements(run):
        for rows in values_rows(r.get("statement") or ""):
            lists += rows > 1
            if rows > 1000:
                problems.append("%s has %d rows in one values list (the server takes at most 1 000)" % (describe(r), rows))
    return problems if lists else ["no multi-row values list was recorded"]


IDENTITY_ON = re.compile(r"^\s*set\s+identity_insert\s+(\S+)\s+on\s*;?\s*$", re.I)


def check_identity_insert(run):
    """An insert into a table with an explicit id needs identity_insert on, set earlier on its
    own connection by a plain batch: inside sp_cursoropen (or any RPC) the setting ends with
    the call, before the inserts run."""
    problems, inserts = [], 0
    switched = {}  # (connection, table) -> the request that set identity_insert on
    for r in statements(run):
        m = IDENTITY_ON.match(r.get("statement") or "")
        if m:
            switched[(r["conn"], m.group(1).lower())] = r
            if r["kind"] != "batch":
                problems.append("%s arrives as %s, not as a plain SQL batch" % (describe(r), r["proc"]))
            continue
        m = re.match(r"^\s*insert\s+into\s+(\w+)", r.get("statement") or "", re.I)
        if m and m.group(1).lower() == "diskinfo":
            inserts += 1
            if (r["conn"], "diskinfo") not in switched:
                problems.append("%s has no set identity_insert diskinfo on before it on its connection" % describe(r))
    if not inserts:
        problems.append("no insert into diskinfo was recorded (restore should send them)")
    return problems


def check_stable_declarations(run):
    """A statement keeps one declaration on its connection, so the server keeps one plan: a
    value's length never changes what is declared (only a text beyond 4 000 characters takes
    the long form)."""
    seen = {}  # (connection, statement) -> declarations
    problems = []
    for r in statements(run):
        if r.get("proc") not in ("sp_prepare", "sp_prepexec", "sp_executesql") or not r.get("declarations"):
            continue
        key = (r["conn"], r["statement"])
        declared = re.sub(r"(?i)nvarchar\(max\)", "NVARCHAR(4000)", r["declarations"])
        if key in seen and seen[key] != declared:
            problems.append("%s is declared %r, before %r" % (describe(r), r["declarations"][:80], seen[key][:80]))
        seen.setdefault(key, declared)
    return problems if seen else ["no declared statement was recorded"]


def check_session_settings(run):
    """Every session yields to the users' own application in a deadlock, set where it lasts."""
    problems, sessions = [], {r["conn"] for r in run.requests if r["kind"] == "login"}
    for conn in sorted(sessions):
        settings = [r for r in statements(run) if r["conn"] == conn
                    and any(re.match(r"(?i)^\s*set\s+deadlock_priority\s+low\s*$", part)
                            for part in (r.get("statement") or "").split(";"))]
        if not settings:
            problems.append("connection %d never sets deadlock_priority low" % conn)
        problems += ["%s arrives as %s, not as a plain SQL batch" % (describe(r), r["proc"])
                     for r in settings if r["kind"] != "batch"]
    return problems if sessions else ["no login was recorded"]


def check_removal_batch(run):
    """A removal batch's locked read, delete and second read go as one request, and every one
    of its statements meets its rule (their three results are read, then committed)."""
    batches = [r for r in statements(run) if len(r.get("rules") or []) == 3
               and re.search(r";\s*delete from diskinfo", r.get("statement") or "", re.I)]
    if not batches:
        return ["no request carried several statements (the removal's batch)"]
    return ["%s: a statement of the batch met no rule" % describe(r) for r in batches if None in r["rules"]]


CHECKS = [
    ("commands", "every chongma-cli command exits 0", check_commands),
    ("rows", "rows the endpoint returns reach chongma (find, import's lookups)", check_rows_reach_chongma),
    ("tds-version", "every login asks for TDS 7.4", check_login_version),
    ("app-name", "every login names the application 'chongma'", check_app_name),
    ("declarations", "no text parameter is longer than the declaration it runs under", check_texts_fit_declarations),
    ("stable", "a statement keeps its declarations from one execution to the next", check_stable_declarations),
    ("parameters", "no request carries more than 2 100 parameters", check_parameter_count),
    ("values", "no values list has more than 1 000 rows", check_values_rows),
    ("identity-insert", "set identity_insert on is a plain batch, before the inserts, on their connection",
     check_identity_insert),
    ("session", "every session sets deadlock_priority low in a plain batch", check_session_settings),
    ("identity-refused", "a refused identity_insert is named and nothing is inserted", check_identity_refused),
    ("batch", "a removal batch reads, deletes and reads again in one request", check_removal_batch),
]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cli", required=True, help="the chongma-cli to run")
    parser.add_argument("--keep", help="keep the work files (script, recording, outputs) in this folder")
    parser.add_argument("--shown", type=int, default=5, help="problems shown for each failed check")
    args = parser.parse_args()

    work = args.keep or tempfile.mkdtemp(prefix="chongma-tds-")
    os.makedirs(work, exist_ok=True)
    try:
        run = run_all(os.path.abspath(args.cli), work)
        failed = 0
        for name, summary, check in CHECKS:
            problems = check(run)
            failed += bool(problems)
            print("%s  %-16s %s" % ("FAIL" if problems else "PASS", name, summary))
            for problem in problems[:args.shown]:
                print("      - " + problem)
            if len(problems) > args.shown:
                print("      ... and %d more requests" % (len(problems) - args.shown))
        print("%d passed, %d failed" % (len(CHECKS) - failed, failed))
        if args.keep:
            print("work files: %s" % work)
        return 1 if failed else 0
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
