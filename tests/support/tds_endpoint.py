#!/usr/bin/python3
"""A recording TDS 7.4 endpoint that stands in for SQL Server in tests.

It speaks just enough of the protocol for FreeTDS to log in without encryption and run
statements, answers each request from a script of rules, and writes every request it gets
to a JSON-lines file, so a test can check what the client sent.

    tds_endpoint.py --script rules.json --record requests.jsonl [--port 0] [--port-file F]

The script is a JSON object {"rules": [...]}; the first rule whose "match" (a regular
expression, searched case-insensitively) finds the statement text answers it:

    {"match": "from diskinfo where 1=0", "columns": [["DiskID", "int"], ["Bar", "nvarchar(100)"]]}
    {"match": "^select DiskID", "columns": [["DiskID", "bigint"]], "rows": [[7], [9]]}
    {"match": "^delete ", "count": 2}
    {"match": "^insert into nowhere", "error": {"number": 208, "message": "Invalid object name"}}

Column types: int, bigint, float, nvarchar(N), varchar(N) (sent in code page 936, as a
Chinese_PRC collation would). An unmatched select gets an empty result set, anything else a
DONE with no count. Only the standard library is used: the endpoint is kept by C++ engineers.
"""

import argparse
import datetime
import decimal
import json
import os
import re
import socketserver
import struct
import sys
import threading

# Packet types.
BATCH, RPC, REPLY, ATTENTION, TRANSACTION, LOGIN7, PRELOGIN = 1, 3, 4, 6, 14, 16, 18

# Tokens.
COLMETADATA, ROW, DONE, DONEPROC, DONEINPROC = 0x81, 0xD1, 0xFD, 0xFE, 0xFF
ERROR, LOGINACK, ENVCHANGE, RETURNSTATUS, RETURNVALUE = 0xAA, 0xAD, 0xE3, 0x79, 0xAC

# DONE status bits.
DONE_MORE, DONE_ERROR, DONE_COUNT, DONE_ATTN = 0x01, 0x02, 0x10, 0x20

PROCS = {1: "sp_cursor", 2: "sp_cursoropen", 3: "sp_cursorprepare", 4: "sp_cursorexecute",
         5: "sp_cursorprepexec", 6: "sp_cursorunprepare", 7: "sp_cursorfetch", 8: "sp_cursoroption",
         9: "sp_cursorclose", 10: "sp_executesql", 11: "sp_prepare", 12: "sp_execute",
         13: "sp_prepexec", 14: "sp_prepexecrpc", 15: "sp_unprepare"}

TM_REQUESTS = {5: "begin", 6: "promote", 7: "commit", 8: "rollback", 9: "save"}

# Chinese_PRC_CI_AS: LCID 0x0804 makes FreeTDS use code page 936 for varchar data.
COLLATION = bytes([0x04, 0x08, 0xD0, 0x00, 0x00])

TDS_VERSIONS = {0x70000000: "7.0", 0x71000001: "7.1", 0x72090002: "7.2", 0x730B0003: "7.3",
                0x74000004: "7.4"}


class ProtocolError(Exception):
    pass


# ---------------------------------------------------------------- reading requests

class Reader:
    """Little-endian reads over one request's bytes."""

    def __init__(self, data, pos=0):
        self.data, self.pos = data, pos

    def take(self, n):
        if self.pos + n > len(self.data):
            raise ProtocolError("request ends inside a value")
        chunk = self.data[self.pos:self.pos + n]
        self.pos += n
        return chunk

    def unpack(self, fmt):
        return struct.unpack("<" + fmt, self.take(struct.calcsize("<" + fmt)))[0]

    def ucs2(self, chars):
        return self.take(2 * chars).decode("utf-16-le", "surrogatepass")

    def at_end(self):
        return self.pos >= len(self.data)


def skip_all_headers(r):
    """Skips ALL_HEADERS and returns the transaction descriptor it carries (0 outside one)."""
    total = r.unpack("I")
    end = r.pos - 4 + total
    transaction = 0
    while r.pos < end:
        length, kind = r.unpack("I"), r.unpack("H")
        body = r.take(length - 6)
        if kind == 2:
            transaction = struct.unpack("<Q", body[:8])[0]
    return transaction


FIXED = {0x30: ("tinyint", 1), 0x32: ("bit", 1), 0x34: ("smallint", 2), 0x38: ("int", 4),
         0x3A: ("smalldatetime", 4), 0x3B: ("real", 4), 0x3C: ("money", 8), 0x3D: ("datetime", 8),
         0x3E: ("float", 8), 0x7A: ("smallmoney", 4), 0x7F: ("bigint", 8)}
BYTELEN = {0x24: "uniqueidentifier", 0x26: "intn", 0x37: "decimal", 0x3F: "numeric", 0x68: "bitn",
           0x6A: "decimaln", 0x6C: "numericn", 0x6D: "floatn", 0x6E: "moneyn", 0x6F: "datetimen",
           0x2F: "char", 0x27: "varchar", 0x2D: "binary", 0x25: "varbinary"}
SCALED = {0x29: "timen", 0x2A: "datetime2n", 0x2B: "datetimeoffsetn"}
SHORTLEN = {0xA5: "varbinary", 0xA7: "varchar", 0xAD: "binary", 0xAF: "char", 0xE7: "nvarchar",
            0xEF: "nchar"}
LONGLEN = {0x22: "image", 0x23: "text", 0x63: "ntext"}
UNICODE = {0xE7, 0xEF, 0x63}
CHARS = {0xA7, 0xAF, 0x23, 0x2F, 0x27}


def read_type_info(r):
    """TYPE_INFO of a parameter: (type id, name, declared max length or None, extra)."""
    t = r.unpack("B")
    info = {"scale": None, "precision": None}
    if t == 0x1F:
        return t, "null", 0, info
    if t in FIXED:
        name, size = FIXED[t]
        return t, name, size, info
    if t == 0x28:
        return t, "daten", 3, info
    if t in SCALED:
        info["scale"] = r.unpack("B")
        return t, SCALED[t], None, info
    if t in BYTELEN:
        size = r.unpack("B")
        if t in (0x37, 0x3F, 0x6A, 0x6C):
            info["precision"], info["scale"] = r.unpack("B"), r.unpack("B")
        return t, BYTELEN[t], size, info
    if t in SHORTLEN:
        size = r.unpack("H")
        if t in UNICODE or t in CHARS:
            r.take(5)
        return t, SHORTLEN[t] + ("(max)" if size == 0xFFFF else ""), None if size == 0xFFFF else size, info
    if t in LONGLEN:
        size = r.unpack("I")
        if t in UNICODE or t in CHARS:
            r.take(5)
        return t, LONGLEN[t], size, info
    raise ProtocolError("parameter of TDS type 0x%02X is not understood here" % t)


def read_raw_value(r, t, max_length):
    """The bytes of one value, or None for NULL."""
    if t == 0x1F:
        return None
    if t in FIXED:
        return r.take(FIXED[t][1])
    if t == 0x28 or t in SCALED or t in BYTELEN:
        n = r.unpack("B")
        return None if n == 0 else r.take(n)
    if t in SHORTLEN and max_length is None:  # PLP: total length, then chunks up to a 0
        total = r.unpack("Q")
        if total == 0xFFFFFFFFFFFFFFFF:
            return None
        chunks = []
        while True:
            n = r.unpack("I")
            if n == 0:
                return b"".join(chunks)
            chunks.append(r.take(n))
    if t in SHORTLEN:
        n = r.unpack("H")
        return None if n == 0xFFFF else r.take(n)
    if t in LONGLEN:
        n = r.unpack("i")
        return None if n < 0 else r.take(n)
    raise ProtocolError("value of TDS type 0x%02X is not understood here" % t)


def decode_value(t, raw, info):
    """A JSON-friendly value: ints, floats, texts decoded, dates as ISO text, bytes as hex."""
    if raw is None:
        return None
    if t in UNICODE:
        return raw.decode("utf-16-le", "surrogatepass")
    if t in CHARS:
        return raw.decode("gbk", "replace")
    if t in (0x30, 0x68) or (t == 0x26 and len(raw) == 1):
        return raw[0]
    if t in (0x34, 0x38, 0x7F, 0x26, 0x32):
        return int.from_bytes(raw, "little", signed=True)
    if t in (0x3B, 0x3E, 0x6D):
        return struct.unpack("<f" if len(raw) == 4 else "<d", raw)[0]
    if t in (0x37, 0x3F, 0x6A, 0x6C):
        digits = int.from_bytes(raw[1:], "little")
        number = decimal.Decimal(digits if raw[0] else -digits).scaleb(-(info["scale"] or 0))
        return str(number)
    if t == 0x28:
        return (datetime.date(1, 1, 1) + datetime.timedelta(days=int.from_bytes(raw, "little"))).isoformat()
    if t in (0x3D, 0x6F) and len(raw) == 8:
        days, ticks = struct.unpack("<iI", raw)
        moment = datetime.datetime(1900, 1, 1) + datetime.timedelta(days=days, milliseconds=ticks * 10 / 3)
        return moment.isoformat(sep=" ")
    return raw.hex()


def read_params(r):
    """Parameters of one RPC request, up to its end or the next batched request."""
    params = []
    while not r.at_end() and r.data[r.pos] not in (0x80, 0xFF, 0xFE):
        name = r.ucs2(r.unpack("B"))
        status = r.unpack("B")
        t, type_name, max_length, info = read_type_info(r)
        raw = read_raw_value(r, t, max_length)
        value = decode_value(t, raw, info)
        param = {"name": name, "output": bool(status & 1), "type": type_name, "type_id": t,
                 "max_length": max_length, "value": value}
        if isinstance(value, str) and (t in UNICODE or t in CHARS):
            param["length"] = len(raw) // 2 if t in UNICODE else len(raw)
        params.append(param)
    return params


def read_rpcs(data):
    """The RPC requests of one RPC message: (transaction, [(name, proc id, params)])."""
    r = Reader(data)
    transaction = skip_all_headers(r)
    requests = []
    while not r.at_end():
        if requests:
            r.take(1)  # the separator between batched requests
            if r.at_end():
                break
        length = r.unpack("H")
        if length == 0xFFFF:
            proc_id = r.unpack("H")
            name = PROCS.get(proc_id, "proc %d" % proc_id)
        else:
            proc_id, name = None, r.ucs2(length)
        r.unpack("H")  # option flags
        requests.append((name, proc_id, read_params(r)))
    return transaction, requests


def read_login(data):
    r = Reader(data)
    fixed = struct.unpack("<IIIIII4BiI", r.take(36))
    version, packet_size = fixed[1], fixed[2]
    fields = {}
    for key in ("host", "user", "password", "app_name", "server", "extension", "library", "language",
                "database"):
        offset, length = r.unpack("H"), r.unpack("H")
        if key not in ("password", "extension"):  # the password is never recorded
            fields[key] = data[offset:offset + 2 * length].decode("utf-16-le", "replace")
    return {"tds_version": TDS_VERSIONS.get(version, "0x%08X" % version),
            "tds_version_raw": "0x%08X" % version, "packet_size": packet_size,
            "client_program_version": data[12:16].hex(), **fields}


# ---------------------------------------------------------------- writing answers

def b_varchar(text):
    encoded = text.encode("utf-16-le")
    return struct.pack("<B", len(encoded) // 2) + encoded


def done(token, status=0, count=None, command=0):
    if count is not None:
        status |= DONE_COUNT
    return struct.pack("<BHHQ", token, status, command, count or 0)


def env_change(kind, new, old):
    body = struct.pack("<B", kind) + b_varchar(new) + b_varchar(old)
    return struct.pack("<BH", ENVCHANGE, len(body)) + body


def env_change_bytes(kind, new, old):
    body = struct.pack("<BB", kind, len(new)) + new + struct.pack("<B", len(old)) + old
    return struct.pack("<BH", ENVCHANGE, len(body)) + body


def error_token(number, message, severity=16, state=1):
    body = (struct.pack("<iBB", number, state, severity) + struct.pack("<H", len(message)) +
            message.encode("utf-16-le") + b_varchar("chongma-tds-endpoint") + b_varchar("") +
            struct.pack("<i", 1))
    return struct.pack("<BH", ERROR, len(body)) + body


def column_type(spec):
    """(TYPE_INFO bytes, value encoder) of a column type given as text."""
    m = re.fullmatch(r"\s*(\w+)\s*(?:\(\s*(\d+|max)\s*\))?\s*", spec.lower())
    if not m:
        raise ValueError("column type %r is not known" % spec)
    kind, size = m.group(1), m.group(2)
    if kind in ("int", "bigint"):
        width = 4 if kind == "int" else 8
        return bytes([0x26, width]), lambda v: b"\0" if v is None else bytes([width]) + int(v).to_bytes(width, "little", signed=True)
    if kind == "float":
        return bytes([0x6D, 8]), lambda v: b"\0" if v is None else b"\x08" + struct.pack("<d", float(v))
    if kind in ("nvarchar", "varchar"):
        unicode = kind == "nvarchar"
        chars = 4000 if size in (None, "max") else int(size)
        info = bytes([0xE7 if unicode else 0xA7]) + struct.pack("<H", chars * (2 if unicode else 1)) + COLLATION

        def encode(v):
            if v is None:
                return b"\xff\xff"
            data = str(v).encode("utf-16-le" if unicode else "gbk")
            return struct.pack("<H", len(data)) + data
        return info, encode
    raise ValueError("column type %r is not known" % spec)


def metadata(columns):
    out = [struct.pack("<BH", COLMETADATA, len(columns))]
    for name, spec in columns:
        out.append(struct.pack("<IH", 0, 0x0001) + column_type(spec)[0] + b_varchar(name))
    return b"".join(out)


def row_tokens(columns, rows):
    encoders = [column_type(spec)[1] for _, spec in columns]
    out = []
    for row in rows:
        if len(row) != len(columns):
            raise ValueError("row %r does not have %d values" % (row, len(columns)))
        out.append(bytes([ROW]) + b"".join(enc(v) for enc, v in zip(encoders, row)))
    return b"".join(out)


def result_set(columns, rows):
    """COLMETADATA and ROW tokens of a result."""
    return metadata(columns) + row_tokens(columns, rows)


def return_int(ordinal, value):
    return (struct.pack("<BH", RETURNVALUE, ordinal) + b_varchar("") + struct.pack("<BIH", 1, 0, 0) +
            bytes([0x26, 4, 4]) + struct.pack("<i", value))


# ---------------------------------------------------------------- the script

SELECT = re.compile(r"^\s*(\(\s*)*(select|with)\b", re.I)


def guess_columns(statement):
    """Column names of a simple select list, for an unmatched select's empty result: an alias
    or a plain column keeps its name, anything else is unnamed, as on the server."""
    start = re.match(r"\s*select\s+(?:distinct\s+|top\s+\d+\s+)?", statement, re.I)
    items, depth, item = [], 0, ""
    for pos in range(start.end() if start else len(statement), len(statement) + 1):
        ch = statement[pos] if pos < len(statement) else ""
        at_end = not ch or (depth == 0 and re.match(r"\s+from\b", statement[pos:], re.I))
        if at_end or (depth == 0 and ch == ","):
            items.append(item)
            item = ""
            if at_end:
                break
        else:
            depth += (ch == "(") - (ch == ")")
            item += ch
    names = []
    for item in items:
        m = (re.search(r"\bas\s+\[?(\w+)\]?\s*$", item, re.I)
             or re.fullmatch(r"\s*(?:\w+\.)?\[?([A-Za-z_]\w*)\]?\s*", item))
        names.append(m.group(1) if m else "")
    return [(name, "nvarchar(4000)") for name in names]


class Answer:
    """What a statement gets: a result set, a count, or an error."""

    def __init__(self, rule_index=None, columns=None, rows=(), count=None, error=None):
        self.rule_index, self.columns, self.rows, self.count, self.error = rule_index, columns, list(rows), count, error


class Script:
    def __init__(self, path):
        with open(path, encoding="utf-8") as f:
            self.rules = json.load(f).get("rules", [])
        for rule in self.rules:
            rule["pattern"] = re.compile(rule["match"], re.I | re.S)
            if "columns" in rule:
                rule["columns"] = [(c, "nvarchar(4000)") if isinstance(c, str) else tuple(c) for c in rule["columns"]]
                for _, t in rule["columns"]:
                    column_type(t)  # a bad type is refused at start, not at the first request

    def answers(self, text):
        """One answer for each statement of a batch (statements apart at a top-level ';')."""
        parts, depth, quoted, start = [], 0, False, 0
        for i, ch in enumerate(text):
            if ch == "'":
                quoted = not quoted
            elif not quoted and ch == "(":
                depth += 1
            elif not quoted and ch == ")":
                depth -= 1
            elif not quoted and depth == 0 and ch == ";":
                parts.append(text[start:i])
                start = i + 1
        parts.append(text[start:])
        parts = [p.strip() for p in parts if p.strip()] or [text]
        return [self.answer(p) for p in parts]

    def answer(self, statement):
        for i, rule in enumerate(self.rules):
            if rule["pattern"].search(statement):
                if "error" in rule:
                    return Answer(i, error=rule["error"])
                if "columns" in rule:
                    return Answer(i, rule["columns"], rule.get("rows", []))
                return Answer(i, count=rule.get("count"))
        if SELECT.match(statement):
            return Answer(None, guess_columns(statement))
        return Answer(None)


# ---------------------------------------------------------------- one connection

class Recorder:
    def __init__(self, path):
        self.file = open(path, "a", encoding="utf-8")
        self.lock = threading.Lock()
        self.seq = 0

    def write(self, entry):
        with self.lock:
            self.seq += 1
            self.file.write(json.dumps({"seq": self.seq, **entry}, ensure_ascii=False) + "\n")
            self.file.flush()


class Session(socketserver.BaseRequestHandler):
    """One client connection: prelogin, login, then requests until it closes."""

    counter = 0
    counter_lock = threading.Lock()

    def setup(self):
        with Session.counter_lock:
            Session.counter += 1
            self.conn_id = Session.counter
        self.packet_size = 4096
        self.prepared = {}  # handle -> (statement, declarations)
        self.cursors = {}   # cursor -> rows still to fetch
        self.transaction = 0
        self.buffer = b""

    def record(self, entry):
        self.server.recorder.write({"conn": self.conn_id, **entry})

    # Messages come as packets of at most packet_size bytes; the last has status bit 1.
    def read_message(self):
        kind, payload = None, []
        while True:
            header = self.read_exactly(8)
            if header is None:
                return None, None
            kind, status, length = header[0], header[1], struct.unpack(">H", header[2:4])[0]
            body = self.read_exactly(length - 8)
            if body is None:
                return None, None
            payload.append(body)
            if status & 1:
                return kind, b"".join(payload)

    def read_exactly(self, n):
        while len(self.buffer) < n:
            chunk = self.request.recv(65536)
            if not chunk:
                return None
            self.buffer += chunk
        data, self.buffer = self.buffer[:n], self.buffer[n:]
        return data

    def send(self, payload, kind=REPLY):
        room = self.packet_size - 8
        chunks = [payload[i:i + room] for i in range(0, len(payload), room)] or [b""]
        for number, chunk in enumerate(chunks, 1):
            last = number == len(chunks)
            header = struct.pack(">BBHHBB", kind, 1 if last else 0, len(chunk) + 8, 51, number % 256, 0)
            self.request.sendall(header + chunk)

    def handle(self):
        try:
            while True:
                kind, payload = self.read_message()
                if kind is None:
                    break
                if kind == PRELOGIN:
                    self.answer_prelogin(payload)
                elif kind == LOGIN7:
                    self.answer_login(payload)
                elif kind == BATCH:
                    self.answer_batch(payload)
                elif kind == RPC:
                    self.answer_rpc(payload)
                elif kind == TRANSACTION:
                    self.answer_transaction(payload)
                elif kind == ATTENTION:
                    self.record({"kind": "attention"})
                    self.send(done(DONE, DONE_ATTN))
                else:
                    self.record({"kind": "unknown", "packet_type": kind})
                    self.send(error_token(50000, "packet type %d is not answered here" % kind) + done(DONE, DONE_ERROR))
        except (ProtocolError, ValueError) as e:
            self.record({"kind": "protocol-error", "reason": str(e)})
            raise
        except ConnectionError:
            pass
        finally:
            self.record({"kind": "close"})

    def answer_prelogin(self, payload):
        options = {}
        pos = 0
        while pos < len(payload) and payload[pos] != 0xFF:
            token, offset, length = struct.unpack(">BHH", payload[pos:pos + 5])
            options[token] = payload[offset:offset + length]
            pos += 5
        self.record({"kind": "prelogin", "encryption": options.get(1, b"\xff")[0]})
        # VERSION, ENCRYPTION = 2 (not supported), INSTOPT, THREADID, MARS = 0.
        values = [(0, bytes([16, 0, 0x03, 0xE8, 0, 0])), (1, b"\x02"), (2, b"\x00"), (3, b""), (4, b"\x00")]
        offset = 5 * len(values) + 1
        head, body = b"", b""
        for token, value in values:
            head += struct.pack(">BHH", token, offset + len(body), len(value))
            body += value
        self.send(head + b"\xff" + body)

    def answer_login(self, payload):
        login = read_login(payload)
        self.record({"kind": "login", **login})
        requested = login["packet_size"]
        self.packet_size = requested if 512 <= requested <= 32767 else 4096
        database = login["database"] or "master"
        product = "Microsoft SQL Server".encode("utf-16-le")
        ack = struct.pack("<B", 1) + struct.pack(">I", 0x74000004) + struct.pack("<B", len(product) // 2) + product + bytes([16, 0, 0x03, 0xE8])
        self.send(env_change(1, database, "master") +
                  env_change_bytes(7, COLLATION, b"") +
                  env_change(2, "us_english", "") +
                  struct.pack("<BH", LOGINACK, len(ack)) + ack +
                  env_change(4, str(self.packet_size), "4096") +
                  done(DONE))

    def statement_tokens(self, answer, final_token, last):
        """The tokens that answer one statement, ending in final_token."""
        more = 0 if last else DONE_MORE
        if answer.error:
            e = answer.error
            return error_token(e.get("number", 50000), e.get("message", "error"), e.get("severity", 16)) + done(final_token, DONE_ERROR | more)
        if answer.columns is not None:
            return result_set(answer.columns, answer.rows) + done(final_token, more, len(answer.rows), 0xC1)
        return done(final_token, more, answer.count)

    def answer_batch(self, payload):
        r = Reader(payload)
        transaction = skip_all_headers(r)
        text = payload[r.pos:].decode("utf-16-le", "surrogatepass")
        answers = self.server.script.answers(text)
        self.record({"kind": "batch", "statement": text, "transaction": transaction, "rule": answers[0].rule_index,
                     "rules": [a.rule_index for a in answers]})
        self.send(b"".join(self.statement_tokens(a, DONE, i + 1 == len(answers)) for i, a in enumerate(answers)))

    def answer_transaction(self, payload):
        r = Reader(payload)
        transaction = skip_all_headers(r)
        request = TM_REQUESTS.get(r.unpack("H"), "other")
        begin_new = False
        if request in ("commit", "rollback"):
            r.take(r.unpack("B"))  # name
            begin_new = not r.at_end() and r.unpack("B") == 1
        self.record({"kind": "tm", "request": request, "begin_new": begin_new, "transaction": transaction})
        tokens = b""
        if request in ("commit", "rollback") and self.transaction:
            old = struct.pack("<Q", self.transaction)
            tokens += env_change_bytes(9 if request == "commit" else 10, b"", old)
            self.transaction = 0
        if request == "begin" or begin_new:
            self.server.next_transaction += 1
            self.transaction = self.server.next_transaction
            tokens += env_change_bytes(8, struct.pack("<Q", self.transaction), b"")
        self.send(tokens + done(DONE))

    def answer_rpc(self, payload):
        transaction, requests = read_rpcs(payload)
        tokens = b""
        for number, (name, proc_id, params) in enumerate(requests, 1):
            tokens += self.answer_one_rpc(name, proc_id, params, transaction, number == len(requests))
        self.send(tokens)

    def answer_one_rpc(self, name, proc_id, params, transaction, last):
        entry = {"kind": "rpc", "proc": name, "proc_id": proc_id, "transaction": transaction}
        values = params
        statement, declarations, handle = None, None, None
        outputs = []  # values returned for output parameters, in their order
        script = self.server.script

        def text(i):
            return params[i]["value"] if len(params) > i and isinstance(params[i]["value"], str) else ""

        if name in ("sp_executesql",):
            statement, declarations, values = text(0), text(1), params[2:]
        elif name in ("sp_prepare", "sp_prepexec"):
            declarations, statement = text(1), text(2)
            values = params[3:] if name == "sp_prepexec" else []
            handle = self.server.new_handle()
            self.prepared[handle] = (statement, declarations)
            outputs = [handle]
        elif name == "sp_execute":
            handle, values = params[0]["value"] if params else None, params[1:]
            statement, declarations = self.prepared.get(handle, (None, None))
        elif name == "sp_unprepare":
            handle, values = params[0]["value"] if params else None, []
            self.prepared.pop(handle, None)
        elif name == "sp_cursoropen":
            statement = text(1)
            declarations = text(5) if len(params) > 5 else None
            values = params[6:]
        elif name in ("sp_cursorfetch", "sp_cursorclose", "sp_cursoroption"):
            handle, values = params[0]["value"] if params else None, params[1:]
        # param_count is every parameter on the wire, the procedure's own included: the server's
        # limit of 2 100 counts them all.
        entry.update({"statement": statement, "declarations": declarations, "handle": handle,
                      "param_count": len(params), "params": values})

        answers = []
        if name == "sp_execute" and statement is None:
            answers = [Answer(error={"number": 8179, "message": "Could not find prepared statement with handle %s." % handle})]
        elif statement is not None:
            answers = script.answers(statement)
        # The first select's, for sp_prepare's metadata and a cursor; every one's results otherwise.
        answer = next((a for a in answers if a.columns is not None), answers[0] if answers else None)
        entry["rule"] = answers[0].rule_index if answers else None
        entry["rules"] = [a.rule_index for a in answers]
        self.record(entry)

        more = 0 if last else DONE_MORE
        if name == "sp_cursoropen" and answer and not answer.error:
            return self.open_cursor(answer, more)
        if name == "sp_cursorfetch":
            return self.fetch_cursor(handle, params, more)
        if name == "sp_cursorclose":
            self.cursors.pop(handle, None)
        body = b""
        if name == "sp_prepare" and answer and answer.columns is not None and not answer.error:
            body = metadata(answer.columns)  # metadata only, as sp_prepare's option 1 asks
        elif answers and name != "sp_prepare":
            body = b"".join(self.statement_tokens(a, DONEINPROC, False) for a in answers)
        failed = any(a.error for a in answers)
        body += struct.pack("<Bi", RETURNSTATUS, 1 if failed else 0)
        body += b"".join(return_int(i, v) for i, v in enumerate(outputs))
        return body + done(DONEPROC, more | (DONE_ERROR if failed else 0))

    # A server cursor keeps its rows here until sp_cursorfetch takes them.
    def open_cursor(self, answer, more):
        if answer.columns is None:  # not a select: it ran, and no cursor is left open
            return (done(DONEINPROC, DONE_MORE, answer.count) + struct.pack("<Bi", RETURNSTATUS, 0) +
                    return_int(0, 0) + return_int(1, 0) + return_int(2, 0) + return_int(3, 0) + done(DONEPROC, more))
        cursor = self.server.new_handle()
        self.cursors[cursor] = (answer.columns, list(answer.rows))
        return (metadata(answer.columns) + done(DONEINPROC, DONE_MORE, 0) +
                struct.pack("<Bi", RETURNSTATUS, 0) + return_int(0, cursor) + return_int(1, 8) +
                return_int(2, 1) + return_int(3, len(answer.rows)) + done(DONEPROC, more))

    def fetch_cursor(self, cursor, params, more):
        columns, rows = self.cursors.get(cursor, ([("", "int")], []))
        wanted = params[3]["value"] if len(params) > 3 and isinstance(params[3]["value"], int) else 1
        taken, rest = rows[:wanted], rows[wanted:]
        if cursor in self.cursors:
            self.cursors[cursor] = (columns, rest)
        # Option 2 of sp_cursorfetch asks for no metadata: a COLMETADATA of count 0xFFFF.
        return (struct.pack("<BH", COLMETADATA, 0xFFFF) + row_tokens(columns, taken) + done(DONEINPROC, DONE_MORE, len(taken)) +
                struct.pack("<Bi", RETURNSTATUS, 0) + done(DONEPROC, more))


class Endpoint(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, port, script, recorder):
        super().__init__(("127.0.0.1", port), Session)
        self.script, self.recorder = script, recorder
        self.next_transaction = 0x1000
        self.handles = 0
        self.handles_lock = threading.Lock()

    def new_handle(self):
        # Handles are unique across connections, so a recording never mixes two up.
        with self.handles_lock:
            self.handles += 1
            return self.handles


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--script", required=True, help="JSON file of rules")
    parser.add_argument("--record", required=True, help="JSON-lines file to append every request to")
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port")
    parser.add_argument("--port-file", help="write the port here once listening")
    parser.add_argument("--lifetime", type=float, default=600, help="stop after this many seconds")
    args = parser.parse_args()

    endpoint = Endpoint(args.port, Script(args.script), Recorder(args.record))
    port = endpoint.server_address[1]
    if args.port_file:
        with open(args.port_file + ".tmp", "w") as f:
            f.write("%d\n" % port)
        os.replace(args.port_file + ".tmp", args.port_file)
    print(port, flush=True)
    # Bounded, so a test that forgets to stop it leaves nothing listening for long.
    timer = threading.Timer(args.lifetime, endpoint.shutdown)
    timer.daemon = True
    timer.start()
    try:
        endpoint.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        endpoint.server_close()


if __name__ == "__main__":
    main()
