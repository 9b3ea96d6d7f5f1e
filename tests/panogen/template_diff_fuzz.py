"""Differential fuzzer of the template engine against Python's Jinja2.

Generates random templates and contexts from the grammar the engine
supports, renders each with our engine (template_diff_tool, many cases per
process) and with Jinja2 in the environment the engine matches (default
Undefined, no autoescape, trim_blocks/lstrip_blocks off, no kept trailing
newline), and compares. A case of several templates (a child extending a
base, included ones) carries the others in its "f" member; Jinja2 then loads
all of them, main.j2 among them, from a DictLoader. Run it with the Python
whose Jinja2 and MarkupSafe are the reference (/usr/bin/python3, as ctest
does): Markup's methods differ between MarkupSafe versions.

- both render the same text: a match;
- our engine fails (a TemplateError naming template and line): refused, which
  is allowed: the engine may refuse what it does not support;
- our engine renders and Jinja2 fails, or both render different texts: a
  DEFECT (a silent difference).

Usage:
  template_diff_fuzz.py --tool BUILD/bin/template_diff_tool --cases 200000 --seed 7 [--jobs 2]
                        [--report FILE] [--batch 2000]

Prints the counts; exits 1 when any defect was found (the first ones are
written to the report, each with its template and context, to replay).
"""
import argparse
import json
import math
import multiprocessing
import os
import random
import subprocess
import sys
import warnings

import jinja2

# Jinja2's compiled code of a random template may draw Python's SyntaxWarnings.
warnings.simplefilter("ignore", SyntaxWarning)

# ---- values -----------------------------------------------------------------

TEXTS = [
    "", "a", "abc", "İstanbul", "ışık", "IŞIK", "Şube Ç", "çilek", "ğüşöçı", "İi Iı", "i̇", "ß", "ﬁ",
    "Ǆemal", "ΣΑΣ", "😀x", "<b>&'\"</b>", " 12 ", "42", "-7", "0x1F", "3.5", "1e3", "  ", "a b  c",
    "Hello World", "hello", "x_y", "TICARI", "KOBI", "a,b", "ŞEHİR", "Iıİi", "\t\n", "ǅ", "ΐ",
]
NAMES = ["a", "b", "n", "s", "l", "m", "x", "f", "t", "z"]
KEYS = ["a", "b", "c", "k", "ş", "ad", "id", "v"]
BIG = [2**63 - 1, -(2**63), 2**64, 2**64 - 1, -(2**64) - 1, 9007199254740993, 10**30, -(10**25) + 7,
       123456789012345678901234567890]
REALS = [0.0, -0.0, 0.5, 1.5, 2.5, -2.5, 0.1, 1e16, 1e-5, 5e-324, 1.7976931348623157e308, -1.7976931348623157e308,
         9007199254740992.0, 18446744073709551616.0, 3.14159, 100.0, 1e300, 2.675]


class Gen:
    def __init__(self, rnd):
        self.r = rnd

    def pick(self, seq):
        return seq[self.r.randrange(len(seq))]

    def chance(self, p):
        return self.r.random() < p

    # a context value: JSON-able
    def value(self, depth=0):
        r = self.r.random()
        if r < 0.22:
            return self.r.randint(-20, 20)
        if r < 0.30:
            return self.pick(BIG)
        if r < 0.40:
            return self.pick(REALS)
        if r < 0.62:
            return self.pick(TEXTS)
        if r < 0.67:
            return self.chance(0.5)
        if r < 0.71:
            return None
        if depth >= 2:
            return self.r.randint(0, 5)
        if r < 0.86:
            return [self.value(depth + 1) for _ in range(self.r.randint(0, 4))]
        return {self.pick(KEYS): self.value(depth + 1) for _ in range(self.r.randint(0, 4))}

    def context(self):
        ctx = {name: self.value() for name in NAMES if self.chance(0.8)}
        # Something to iterate and look into, always.
        ctx["l"] = [self.value(1) for _ in range(self.r.randint(0, 5))]
        ctx["rows"] = [{"ad": self.pick(TEXTS), "v": self.r.randint(-5, 5), "k": self.pick(["x", "y"])}
                       for _ in range(self.r.randint(0, 4))]
        ctx["m"] = {k: self.value(1) for k in self.r.sample(KEYS, self.r.randint(0, 4))}
        return ctx

    # ---- expressions ----

    def int_literal(self):
        r = self.r.random()
        n = self.r.randint(0, 300)
        if r < 0.5:
            return str(self.r.randint(0, 30))
        if r < 0.6:
            return hex(n).replace("0x", self.pick(["0x", "0X"]))
        if r < 0.67:
            return "0o%o" % n
        if r < 0.74:
            return bin(n)
        if r < 0.82:
            return "1_000"
        return str(self.pick(BIG)).lstrip("-")

    def float_literal(self):
        return self.pick(["0.5", "1.5", "2.0", "1e3", "1E-3", "1_0.5", "0.1", "2.5e-3", "1e308", "3.0e0", "5e-324"])

    def string_literal(self):
        s = self.pick(TEXTS + ["x", "-", ", ", "%s", "%d", "{}", "i", "I"])
        return json.dumps(s, ensure_ascii=self.chance(0.3)) if self.chance(0.5) else "'" + s.replace("\\", "\\\\").replace("'", "\\'").replace("\n", "\\n").replace("\t", "\\t") + "'"

    def atom(self, d):
        r = self.r.random()
        if r < 0.30:
            return self.pick(NAMES + ["l", "m", "rows", "undef", "l", "m"])
        if r < 0.45:
            return self.int_literal()
        if r < 0.52:
            return self.float_literal()
        if r < 0.70:
            return self.string_literal()
        if r < 0.76:
            return self.pick(["true", "false", "none", "True", "None"])
        if r < 0.84 and d < 3:
            return "[" + ", ".join(self.expr(d + 1) for _ in range(self.r.randint(0, 3))) + "]"
        if r < 0.88 and d < 3:
            items = [self.expr(d + 1) for _ in range(self.r.randint(0, 3))]
            return "(" + ", ".join(items) + ("," if len(items) == 1 else "") + ")"
        if r < 0.92 and d < 3:
            return "{" + ", ".join("%s: %s" % (json.dumps(self.pick(KEYS), ensure_ascii=False), self.expr(d + 1))
                                   for _ in range(self.r.randint(0, 3))) + "}"
        if r < 0.96 and d < 3:
            return "range(%s)" % ", ".join(str(self.r.randint(-3, 6)) for _ in range(self.r.randint(1, 3)))
        return "(" + self.expr(d + 1) + ")"

    FILTERS_NOARG = ["length", "count", "string", "upper", "lower", "first", "last", "trim", "abs", "float",
                     "list", "int", "round", "e", "escape", "safe", "tojson", "d", "default"]

    def filter_call(self, d):
        if self.chance(0.3):
            return self.more_filter(d)
        r = self.r.random()
        if r < 0.55:
            return self.pick(self.FILTERS_NOARG)
        e = lambda: self.expr(d + 1)
        return self.pick([
            lambda: "default(%s)" % e(),
            lambda: "default(%s, true)" % e(),
            lambda: "join(%s)" % self.string_literal(),
            lambda: "join",
            lambda: "replace(%s, %s)" % (self.string_literal(), self.string_literal()),
            lambda: "replace(%s, %s, %d)" % (self.string_literal(), self.string_literal(), self.r.randint(-1, 2)),
            lambda: "round(%d)" % self.r.randint(-2, 3),
            lambda: "round(%d, %s)" % (self.r.randint(0, 2), self.pick(["'floor'", "'ceil'", "'common'"])),
            lambda: "int(%s)" % e(),
            lambda: "int(base=%s)" % self.pick(["16", "8", "2", "0", "36", "10"]),
            lambda: "int(0, %s)" % self.pick(["16", "0", "2"]),
            lambda: "float(%s)" % e(),
            lambda: "tojson(%d)" % self.r.randint(0, 3),
            lambda: "trim(%s)" % self.string_literal(),
            lambda: self.pick(["sum", "min", "max", "min(true)", "max(case_sensitive=true)"]),
            lambda: "sum(start=%s)" % e(),
            lambda: "center(%d)" % self.r.randint(-1, 12),
        ])()

    def test_call(self, d):
        if self.chance(0.12):
            return self.pick(["lower", "upper", "lower", "upper", "divisibleby(num=2)", "in(seq=[1, 'a'])",
                              "sameas(other=none)", "eq(other=1)"])
        r = self.r.random()
        if r < 0.6:
            return self.pick(["defined", "undefined", "none", "number", "string", "integer", "float", "boolean",
                              "mapping", "sequence", "iterable", "callable", "even", "odd", "true", "false"])
        name = self.pick(["divisibleby", "eq", "equalto", "ne", "lt", "lessthan", "le", "gt", "greaterthan", "ge",
                          "in", "sameas"])
        arg = self.atom(d + 1) if d < 3 else self.pick(["1", "2", "none", "'a'"])
        return "%s(%s)" % (name, arg) if self.chance(0.5) else "%s %s" % (name, arg)

    def postfix(self, base, d):
        if self.chance(0.25):
            return base + self.more_postfix(d)
        r = self.r.random()
        if r < 0.15:
            return base + "." + self.pick(KEYS + ["0", "1", "items", "nope"])
        if r < 0.30:
            return base + "[" + self.pick([str(self.r.randint(-3, 3)), json.dumps(self.pick(KEYS), ensure_ascii=False),
                                           self.expr(d + 1)]) + "]"
        if r < 0.40:
            meth = self.pick(["upper()", "lower()", "strip()", "startswith('a')", "endswith('k')",
                              "replace('a', 'b')", "items()", "keys()", "values()", "get('a')", "get('zz', 1)",
                              "strip('a')"])
            return base + "." + meth
        return base

    def unary(self, d):
        base = self.atom(d)
        if d < 4 and self.chance(0.4):
            base = self.postfix(base, d)
        while d < 4 and self.chance(0.3):
            base += "|" + self.filter_call(d)
        if self.chance(0.05):
            base = "-" + self.pick(["n", "x", "b", "1.5", "2", "(2 ** 64)", "0.0"])
        return base

    def expr(self, d=0, cond_ok=True):
        if d >= 4:
            return self.atom(d)
        if d < 3 and self.chance(0.3):
            return self.more_expr(d)
        r = self.r.random()
        if not cond_ok and r >= 0.95:
            r = 0.0
        if r < 0.45:
            return self.unary(d)
        if r < 0.65:
            op = self.pick(["+", "-", "*", "/", "//", "%", "~", "**", "+", "-", "*"])
            rhs = self.unary(d + 1) if op != "**" else str(self.r.randint(-2, 70))
            return "%s %s %s" % (self.unary(d + 1), op, rhs)
        if r < 0.80:
            op = self.pick(["==", "!=", "<", "<=", ">", ">=", "in", "not in"])
            return "%s %s %s" % (self.unary(d + 1), op, self.unary(d + 1))
        if r < 0.86:
            return "%s %s %s" % (self.unary(d + 1), self.pick(["and", "or"]), self.unary(d + 1))
        if r < 0.89:
            return "not " + self.unary(d + 1)
        if r < 0.95:
            return "%s is %s%s" % (self.unary(d + 1), self.pick(["", "not "]), self.test_call(d))
        return "%s if %s else %s" % (self.unary(d + 1), self.unary(d + 1), self.unary(d + 1))

    # ---- filters on sequences and texts, tests, slices, methods, % ----

    ATTRS = ["ad", "v", "k", "v", "k", "zz", "0", "ad.0", "v,k", "k,ad"]
    SEQS = ["rows", "rows", "rows", "l", "[3, 1, 2]", "['b', 'A', 'a', 'B']", "m", "range(5)", "'şİıIa'",
            "[1, 2, 2, 'x']", "undef", "[[1, 'a'], [0, 'b'], [1, 'c']]", "[2.5, -1, 10**20, true, -0.0, 5e-324]",
            "['ış', 'IŞ', 'İz', 'iz', 'b']", "[none, 0, '', 3]", "[3, 1, 2, 3, 1.0]", "['a', 'B', 'a', 'b']",
            "[{'v': 1, 'k': 'x'}, {'v': 0}]", "m.items()"]
    TEXT_ATOMS = ["s", "'hello wORLD-foo(bar) ışık'", "'a\\nb\\n\\nc'", "'<p>a <b>b</b></p> <!-- c -->&amp;'",
                  "'Lorem ipsum dolor sit amet'", "'İstanbul ve IŞIK'", "'x y'", "''", "'a/b c?d=é&f'", "'%s=%d'"]

    def attr(self):
        return json.dumps(self.pick(self.ATTRS))

    def seq_filter(self):
        a = self.attr()
        ri = self.r.randint
        return self.pick([
            lambda: self.pick(["sort", "sort(reverse=true)", "sort(true, true)", "sort(case_sensitive=true)",
                               "unique", "unique(true)", "reverse", "list", "items", "dictsort",
                               "dictsort(by='value')", "dictsort(reverse=true)", "dictsort(true)"]),
            lambda: "sort(attribute=%s)" % a,
            lambda: "sort(attribute=%s, reverse=%s)" % (a, self.pick(["true", "false"])),
            lambda: "unique(attribute=%s)" % a,
            lambda: "map(attribute=%s)" % a,
            lambda: "map(attribute=%s, default=%s)" % (a, self.pick(["0", "'-'", "none"])),
            lambda: self.pick(["map('upper')", "map('string')", "map('length')", "map('int')", "map('round', 1)",
                               "map('default', 'D')", "map('nosuch')", "map('tojson')", "map('title')",
                               "map('abs')", "map('first')", "map('join', '-')", "map('truncate', 4, true, '')",
                               "map('replace', 'a', 'o')", "map('list')", "map('sort')", "map('float')"]),
            lambda: self.pick(["select", "reject", "select('odd')", "select('even')", "reject('none')",
                               "select('string')", "select('>', 1)", "select('lessthan', 2)", "select('in', [1, 'x'])",
                               "select('divisibleby', 3)", "reject('defined')", "select('lower')", "select('upper')",
                               "select('equalto', 'x')", "select('nosuch')", "select('number')", "reject('sameas', none)",
                               "select('==', 2)", "select('ge', 0)", "reject('mapping')", "select('integer')",
                               "select('divisibleby', num=2)", "reject('in', seq=[1, 'x'])", "select(num=1)"]),
            lambda: "selectattr(%s)" % a,
            lambda: "rejectattr(%s, %s)" % (a, self.pick(["'even'", "'odd'", "'defined'", "'none'", "'string'"])),
            lambda: "selectattr(%s, %s, %s)" % (a, self.pick(["'equalto'", "'gt'", "'ne'", "'in'"]),
                                                self.pick(["'x'", "0", "[1, 'y']", "2"])),
            lambda: "batch(%d)" % ri(1, 3),
            lambda: "batch(%d, %s)" % (ri(0, 3), self.pick(["0", "'-'", "none"])),
            lambda: "slice(%d)" % ri(-1, 4),
            lambda: "slice(%d, %s)" % (ri(1, 3), self.pick(["'f'", "0"])),
            lambda: "groupby(%s)" % a,
            lambda: "groupby(%s, default='d')" % a,
            lambda: "groupby(%s, case_sensitive=true)" % a,
        ])()

    def seq_end(self):
        return self.pick(["list", "join(',')", "join", "length", "first", "last", "sum", "min", "max", "count",
                          "tojson", "string", "sort", "list|length", "join(', ', attribute='ad')", "sum(attribute='v')",
                          "min(attribute='v')", "max(attribute='ad')", "first|string", "list|reverse|list",
                          "sum(attribute='1', start=0)", "max(attribute='v', case_sensitive=true)", "unique|list",
                          "map(attribute='grouper')|list", "map(attribute='list')|list", "list|first", "batch(2)|list"])

    def seq_pipeline(self, d):
        s = self.pick(self.SEQS) if self.chance(0.95) else self.atom(d + 1)
        for _ in range(self.r.randint(1, 3)):
            s += "|" + self.seq_filter()
        if self.chance(0.85):
            end = self.seq_end()
            # what a generator has not (a length, an end, a JSON form): mostly take its list first
            if end.split("|")[0] in ("length", "last", "count", "tojson", "string") and self.chance(0.9):
                end = "list|" + end
            s += "|" + end
        return s

    def text_filter(self):
        ri = self.r.randint
        return self.pick([
            lambda: self.pick(["title", "capitalize", "indent", "wordcount", "filesizeformat", "filesizeformat(true)",
                               "urlencode", "striptags", "reverse", "indent(first=true)", "indent('> ', blank=true)",
                               "truncate", "title|reverse", "capitalize|title"]),
            lambda: "truncate(%d)" % ri(2, 14),
            lambda: "truncate(%d, %s)" % (ri(3, 12), self.pick(["true", "false"])),
            lambda: "truncate(%d, false, %s, %d)" % (ri(2, 12), self.pick(["'..'", "''", "'>'"]), ri(0, 3)),
            lambda: "truncate(length=%d, end='~', killwords=true)" % ri(1, 10),
            lambda: "indent(%s, %s)" % (self.pick(["2", "0", "'--'", "-1", "true"]), self.pick(["true", "false"])),
            lambda: "format()",
        ])()

    def text_pipeline(self, d):
        s = self.pick(self.TEXT_ATOMS) if self.chance(0.9) else self.atom(d + 1)
        if s == "'%s=%d'" and self.chance(0.7):
            s += "|format(%s, %s)" % (self.pick(TEXTS_LITERALS), self.pick(self.NUMS))
        for _ in range(self.r.randint(1, 2)):
            s += "|" + self.text_filter()
        return s

    NUMS = ["3", "-7", "2**70", "1.5", "-0.0", "5e-324", "1.7976931348623157e308", "true", "255", "0", "2.675",
            "-(2**64)", "1e16", "0.1"]
    PCT_SPECS = [("%s", "any"), ("%d", "num"), ("%i", "num"), ("%5.2f", "num"), ("%x", "int"), ("%o", "int"),
                 ("%#X", "int"), ("%e", "num"), ("%g", "num"), ("%r", "any"), ("%c", "chr"), ("%-6s|", "any"),
                 ("%05d", "num"), ("%+.3e", "num"), ("%.2s", "any"), ("%-+8.3f|", "num"), ("% d", "num"),
                 ("%#o", "int"), ("%10.4g", "num"), ("%.0f", "num"), ("%.3d", "num"), ("%%", None), ("%3c", "chr"),
                 ("%#.3g", "num"), ("%G", "num"), ("%-5d|", "num"), ("%F", "num"), ("%.10f", "num")]

    def pct_arg(self, kind, d):
        if kind == "num" or (kind == "int" and self.chance(0.1)):
            return self.pick(self.NUMS)
        if kind == "int":
            return self.pick(["3", "-7", "2**62", "255", "0", "true", "-(2**40)", "4095"])
        if kind == "chr":
            return self.pick(["65", "0x15e", "'ş'", "'a'", "32", "0x1F600"])
        return self.atom(d + 1) if self.chance(0.3) else self.pick(TEXTS_LITERALS + self.NUMS)

    def percent_expr(self, d):
        if self.chance(0.15):
            fmt, args = self.pick([("'%(a)s'", "{'a': %s}" % self.atom(d + 1)), ("'%(a)s%(a)s'", "{'a': 1, 'ad': 'ş'}"),
                                   ("'%(k)s/%(v)05d'", "{'k': 'x', 'v': %s}" % self.pick(self.NUMS)),
                                   ("'%(ad)r|%(v)+d'", "rows[0]"), ("'%(a)s'", "m"), ("'%(k)s'", "rows[0]")])
            return "%s %% %s" % (fmt, args)
        specs = [self.pick(self.PCT_SPECS) for _ in range(self.r.randint(1, 3))]
        fmt = json.dumps(self.pick(["", "x", "ş "]) + "".join(sp for sp, _ in specs), ensure_ascii=False)
        args = [self.pct_arg(kind, d) for _, kind in specs if kind]
        if self.chance(0.05):  # a mismatch now and then: an error in both
            args = args[1:] if args else ["1"]
        if self.chance(0.2):
            return "%s|format(%s)" % (fmt, ", ".join(args))
        if len(args) == 1 and self.chance(0.5) and not args[0].startswith("("):
            return "%s %% %s" % (fmt, args[0])
        return "%s %% (%s%s)" % (fmt, ", ".join(args), "," if len(args) == 1 else "")

    def more_postfix(self, d):
        r = self.r.random()
        b = lambda: self.pick(["", "", "1", "-1", "2", "-3", "0", "10", "none", "n", "2**64"])
        if r < 0.45:
            if self.chance(0.5):
                return "[%s:%s]" % (b(), b())
            return "[%s:%s:%s]" % (b(), b(), self.pick(["", "1", "2", "-1", "-2", "0", "3"]))
        return "." + self.pick([
            "split()", "split(',')", "split(' ', 1)", "rsplit(None, 1)", "split(maxsplit=1)", "rsplit(',', 1)",
            "split(sep='a')", "format(1, 'a')", "format(n=1)", "join(['x', 'y'])", "join(l)", "count('a')",
            "find('a')", "rfind('a')", "count('')", "title()", "capitalize()", "lstrip()", "rstrip()", "strip('xa ')",
            "lstrip('a')", "startswith(('a', 'İ'))", "endswith(('c', 'x'))", "index(1)", "count(1)", "grouper", "list",
            "find('b', 1, 4)", "split('')", "format()",
        ])

    FMT_SPECS = [("{}", "any"), ("{:>6}", "any"), ("{:05.2f}", "num"), ("{:,}", "num"), ("{:x}", "int"),
                 ("{!r}", "any"), ("{:^7}", "any"), ("{:+d}", "int"), ("{:.2%}", "num"), ("{:e}", "num"),
                 ("{:<4}|", "any"), ("{:_}", "int"), ("{{}}", None), ("{:.3}", "any"), ("{:g}", "num"),
                 ("{:*^9}", "any"), ("{:#b}", "int"), ("{:.1f}", "num"), ("{:08.3f}", "num"), ("{:=+7}", "int"),
                 ("{:.2s}", "str"), ("{:10}", "num"), ("{:,.2f}", "num"), ("{:X}", "int"), ("{!s:>5}", "any")]

    def method_expr(self, d):
        specs = [self.pick(self.FMT_SPECS) for _ in range(self.r.randint(1, 3))]
        fmt = json.dumps("".join(sp for sp, _ in specs), ensure_ascii=False)
        args = [self.pick(TEXTS_LITERALS) if kind == "str" else self.pct_arg(kind, d) for _, kind in specs if kind]
        if self.chance(0.05):
            args = args[1:]
        if self.chance(0.15):
            return "'{a}-{b!r}'.format(a=%s, b=%s)" % (self.atom(d + 1), self.atom(d + 1))
        return "%s.format(%s)" % (fmt, ", ".join(args))

    def more_expr(self, d):
        r = self.r.random()
        if r < 0.4:
            return self.seq_pipeline(d)
        if r < 0.65:
            return self.text_pipeline(d)
        if r < 0.85:
            return self.percent_expr(d)
        return self.method_expr(d)

    def more_filter(self, d):
        return self.seq_filter() if self.chance(0.5) else self.text_filter()

    # ---- statements ----

    def ws(self):
        return self.pick(["", "", "", "-"])

    def text(self):
        return self.pick(["", " ", "x", "\n", " | ", "Ş", "\n  ", "a\n"])

    LOOP_ATTRS = ["index", "index0", "revindex", "revindex0", "first", "last", "length", "previtem", "nextitem",
                  "depth", "depth0"]

    def body(self, d, in_loop=False):
        parts = []
        for _ in range(self.r.randint(1, 3)):
            parts.append(self.stmt(d, in_loop))
        return "".join(parts)

    def stmt(self, d, in_loop=False):
        r = self.r.random()
        if r < 0.18 or d >= 3:
            return self.text()
        if r < 0.55:
            if in_loop and self.chance(0.3):
                return self.pick(["{{ loop.%s }}" % self.pick(self.LOOP_ATTRS),
                              "{{ loop.cycle(%s) }}" % ", ".join(self.atom(2) for _ in range(self.r.randint(0, 3))),
                              "{{ loop.changed(%s) }}" % self.pick(["x", "item", "k", "x|int(0) // 2", "1"]),
                              "{%% if loop.changed(%s) %%}c{%% endif %%}" % self.pick(["x", "item", "a"])])
            return "{{%s %s %s}}" % (self.ws(), self.expr(), self.ws())
        if r < 0.70:
            s = "{%% if %s %%}%s" % (self.expr(1, False), self.body(d + 1, in_loop))
            if self.chance(0.3):
                s += "{%% elif %s %%}%s" % (self.expr(1, False), self.body(d + 1, in_loop))
            if self.chance(0.4):
                s += "{%% else %%}%s" % self.body(d + 1, in_loop)
            return s + "{% endif %}"
        if r < 0.85:
            target = self.pick(["x", "item", "k, v", "a"])
            seq = self.pick(["l", "rows", "m", "m.items()", "range(3)", "s", "[1, 2, 2, 3]", "l|list",
                             "rows|list", "'abc'", self.expr(2), self.seq_pipeline(2), self.seq_pipeline(2)])
            cond = " if %s" % self.expr(2, False) if self.chance(0.15) else ""
            s = "{%%%s for %s in %s%s %s%%}%s" % (self.ws(), target, seq, cond, self.ws(), self.body(d + 1, True))
            if self.chance(0.2):
                s += "{%% else %%}%s" % self.body(d + 1, in_loop)
            return s + "{%% endfor %s%%}" % self.ws()
        if r > 0.95:
            return self.inherit_stmt(d, in_loop)
        return "{%% set %s = %s %%}" % (self.pick(NAMES + ["k, v"] if self.chance(0.1) else NAMES), self.expr(1))

    # ---- macros, call blocks, imports, set/filter/with blocks, globals ----
    # A template of this kind defines macros first, then uses them (and the
    # block statements and globals) in statements of the usual kind; most
    # calls fit the macro's signature, a few do not.

    MACROS = ["mc", "mk"]
    PARAMS = ["p", "q", "r"]

    def macro_value(self):
        """An argument or default: mostly values that print the same way."""
        if self.chance(0.05):
            return self.expr(2)
        return self.pick([lambda: self.string_literal(), lambda: str(self.r.randint(-3, 9)),
                          lambda: self.pick(NAMES + ["undef", "l", "m"]),
                          lambda: self.pick(["'İstanbul'", "'ışık'", "5e-324", "1.7976931348623157e308", "-0.0",
                                             str(2 ** 70), "none", "[1, 'ş']", "'IŞIK'|lower", "x|default('ğ')"])])()

    def macro_inner(self, info, d):
        """One piece of a macro body: its parameters, varargs, kwargs, caller."""
        params = info["params"]
        r = self.r.random()
        if params and r < 0.4:
            p = self.pick(params)
            return self.pick(["{{ %s }}" % p, "{{ %s|string|upper }}" % p, "[{{ %s ~ '|' }}]" % p,
                              "{%% if %s %%}T{%% else %%}F{%% endif %%}" % p, "{{ %s is defined }}" % p,
                              "{%% for e in %s|string %%}{{ e }}{%% endfor %%}" % p, "{{ %s|string|length }}" % p,
                              "{{ %s|default('yok') }}" % p])
        if r < 0.5:
            info["varargs"] = True
            return self.pick(["{{ varargs }}", "{{ varargs|length }}", "{% for v in varargs %}<{{ v }}>{% endfor %}"])
        if r < 0.58:
            info["kwargs"] = True
            return self.pick(["{{ kwargs }}", "{{ kwargs|length }}", "{% for k, v in kwargs.items() %}{{ k }}={{ v }}{% endfor %}"])
        if r < 0.7:
            info["caller"] = True
            if self.chance(0.1):
                return self.pick(["{{ caller() }}", "{{ caller(1) }}", "{{ caller('ş', 2) }}", "{{ caller(b='ı') }}"])
            return self.pick(["{{ caller is defined }}", "{% if caller is defined %}{{ caller('İ') }}{% endif %}",
                              "{% if caller is defined %}[{{ caller() }}]{% else %}-{% endif %}"])
        if r < 0.78:
            name = self.pick(["x", "t"] + params)
            return "{%% set %s = %s %%}{{ %s }}" % (name, self.macro_value(), name)
        if r < 0.84 and d < 2 and self.defined:
            return self.macro_call(self.pick(self.defined))
        if r < 0.9:
            return "{% for i in l %}{{ loop.index }}{{ i }}{% endfor %}"
        return self.stmt(d + 1, False) if self.chance(0.3) else self.text()

    def macro_signature(self):
        params = self.PARAMS[:self.r.randint(0, 3)]
        with_default = self.r.randint(0, len(params))
        parts = []
        for i, p in enumerate(params):
            if i >= len(params) - with_default:
                parts.append("%s=%s" % (p, self.pick([self.macro_value(), params[0] if i > 0 else "1", "x"])))
            else:
                parts.append(p)
        return params, ", ".join(parts)

    def macro_def(self, name, d=1):
        params, sig = self.macro_signature()
        info = {"params": params, "varargs": False, "kwargs": False, "caller": False}
        body = "".join(self.macro_inner(info, d) for _ in range(self.r.randint(1, 4)))
        self.macros[name] = info
        return "{%%%s macro %s(%s) %s%%}%s{%%%s endmacro %s%%}" % (self.ws(), name, sig, self.ws(), body, self.ws(),
                                                                self.ws())

    def macro_args(self, info=None):
        """Arguments for a macro of `info`'s signature (any, now and then)."""
        if info is None or self.chance(0.04):
            return ", ".join([self.macro_value() for _ in range(self.r.randint(0, 3))] +
                             ["%s=%s" % (k, self.macro_value()) for k in self.r.sample(["p", "k"], self.r.randint(0, 2))])
        params = info["params"]
        n = self.r.randint(0, len(params) + (2 if info["varargs"] else 0))
        args = [self.macro_value() for _ in range(n)]
        free = params[n:] + (["k", "ad"] if info["kwargs"] else [])
        for k in self.r.sample(free, self.r.randint(0, len(free))):
            args.append("%s=%s" % (k, self.macro_value()))
        if self.chance(0.1):
            args.append("*%s" % self.pick(["[1, 'ş']", "'ıİ'", "l", "undef", "m", "[]"]))
        if self.chance(0.1):
            args.append("**%s" % self.pick(["{'k': 'ğ'}", "{}", "m", "dict(ad=1)"]))
        return ", ".join(args)

    def macro_call(self, name, prefix=""):
        return "{{ %s%s(%s) }}" % (prefix, name, self.macro_args(self.macros.get(name)))

    def macro_use(self, d):
        if not self.defined:
            return self.block_stmt(d)
        r = self.r.random()
        m = self.pick(self.defined)
        info = self.macros.get(m)
        if r < 0.4:
            return self.macro_call(m)
        if r < 0.58:
            if info and not info["caller"] and self.chance(0.9):
                return self.macro_call(m)
            sig = self.pick(["", "(a)", "(a, b=2)", "(a='ı')", "(a, b)"])
            body = self.pick(["x", "{{ a }}", "[{{ a }}{{ b }}]", "{{ a|upper }}", "İ{{ x }}", "{{ varargs }}",
                              "{% for i in l %}{{ i }}{{ a }}{% endfor %}"])
            return "{%% call%s %s(%s) %%}%s{%% endcall %%}" % (sig, m, self.macro_args(info), body)
        if r < 0.65:
            return "{{ %s.%s }}" % (m, self.pick(["name", "arguments", "catch_kwargs", "catch_varargs", "caller"]))
        if r < 0.72:
            return "{{ %s(%s)|%s }}" % (m, self.macro_args(info), self.pick(["upper", "length", "trim", "e", "lower"]))
        if r < 0.78:
            return "{%% for x in l %%}%s{%% endfor %%}" % self.macro_call(m)
        return self.block_stmt(d)

    def block_stmt(self, d):
        r = self.r.random()
        body = lambda: self.body(d + 1) if d < 2 and self.chance(0.5) else self.pick(
            ["İı", "{{ x }}", "a{{ l|length }}b", "{% for i in l %}{{ i }},{% endfor %}", "ışık {{ s }}"])
        if r < 0.2:
            flt = self.pick(["", " | upper", " | trim", " | replace('a', 'ş')|upper", " | length", " | e"])
            n = self.pick(NAMES)
            return "{%% set %s%s %%}%s{%% endset %%}{{ %s }}" % (n, flt, body(), n)
        if r < 0.35:
            flt = self.pick(["upper", "lower", "trim", "replace('i', 'İ')", "upper|replace('I', 'ı')", "center(9)",
                             "e", "length", "first"])
            return "{%% filter %s %%}%s{%% endfilter %%}" % (flt, body())
        if r < 0.5:
            names = self.r.sample(["x", "t", "w", "ğ"], self.r.randint(0, 2))
            assigns = ", ".join("%s = %s" % (n, self.macro_value()) for n in names)
            return "{%% with %s %%}%s{%% endwith %%}" % (assigns, body())
        if r < 0.7:
            v = self.macro_value()
            return self.pick([
                "{%% set ns = namespace(v=%s) %%}{%% for i in l %%}{%% set ns.v = ns.v ~ i %%}{%% endfor %%}{{ ns.v }}" % v,
                "{%% set ns = namespace() %%}{%% set ns.a = %s %%}{{ ns.a }}{{ ns.b }}" % v,
                "{%% set ns = namespace(n=0) %%}{%% for i in range(%d) %%}{%% set ns.n = ns.n + i %%}{%% endfor %%}{{ ns.n }}" % self.r.randint(0, 5),
            ])
        if r < 0.8:
            return "{%% set c = cycler(%s) %%}%s" % (", ".join(self.macro_value() for _ in range(self.r.randint(1, 3))),
                                                  "".join(self.pick(["{{ c.next() }}", "{{ c.current }}", "{{ c.reset() }}", "{{ c.items }}"])
                                                          for _ in range(self.r.randint(1, 4))))
        if r < 0.9:
            return "{%% set j = joiner(%s) %%}{%% for i in %s %%}{{ j() }}{{ i }}{%% endfor %%}" % (
                self.pick(["", "', '", "'|'", "sep='ş'"]), self.pick(["l", "rows|length|string", "'abc'", "m"]))
        return "{{ dict(%s) }}" % ", ".join("%s=%s" % (k, self.macro_value()) for k in self.r.sample(["a", "b", "ad", "v"], self.r.randint(0, 2)))

    def library(self):
        """An imported template: macros, names it sets, a private one."""
        parts = [self.macro_def(m) for m in self.MACROS if self.chance(0.8)]
        parts.append("{%% set v = %s %%}{%% set _h = 1 %%}" % self.macro_value())
        if self.chance(0.3):
            parts.append("{% set c = cycler(1, 2) %}")
        return "".join(parts) + self.text()

    # Scoping: a few names set, looped over, shadowed by with blocks and
    # macro parameters, read in macros defined in and called from any scope.
    SCOPE_NAMES = ["a", "b"]

    def scope_stmt(self, d):
        n = self.pick(self.SCOPE_NAMES)
        r = self.r.random()
        inner = lambda: "".join(self.scope_stmt(d + 1) for _ in range(self.r.randint(1, 3))) if d < 3 else "{{ %s }}" % n
        if r < 0.2:
            return "{{ %s }}" % n
        if r < 0.35:
            return "{%% set %s = %s %%}" % (n, self.pick(["1", "'ş'", "%s ~ 'ı'" % self.pick(self.SCOPE_NAMES), "[1, 2]"]))
        if r < 0.47:
            return "{%% for %s in %s %%}%s{%% endfor %%}" % (n, self.pick(["[1, 2]", "'İı'", "range(2)"]), inner())
        if r < 0.57:
            return "{%% with %s = %s %%}%s{%% endwith %%}" % (n, self.pick(["'w'", "%s ~ 'w'" % n, "2"]), inner())
        if r < 0.72:
            name = self.pick(["sa", "sb"])
            params = self.pick(["a=1, b='ğ'", "b=2, a='ş'", "a, b=none", "b='İ', a=b"])
            return "{%% macro %s(%s) %%}%s{%% endmacro %%}" % (name, params, inner())
        if r < 0.84:
            return "{{ %s(%s) }}" % (self.pick(["sa", "sb"]), self.pick(["", "1", "'ç', 2", "b='İ'", "a=b"]))
        if r < 0.9:
            return "{%% set %s %%}%s{%% endset %%}" % (n, inner())
        if r < 0.95:
            return "{%% filter upper %%}%s{%% endfilter %%}" % inner()
        return "{%% if %s is defined %%}%s{%% endif %%}" % (n, inner())

    def scope_template(self):
        self.files = {}
        first = "{%% macro sa(a='ı', b=a) %%}<{{ a }}{{ b }}>{%% endmacro %%}{%% macro sb(b=1, a=2) %%}{{ b }}%s{%% endmacro %%}" % (
            self.pick(["", "{{ sa() }}", "{{ a }}"]))
        return first + "".join(self.scope_stmt(0) for _ in range(self.r.randint(2, 5)))

    def macro_template(self):
        if self.chance(0.3):
            return self.scope_template()
        self.files = {}
        self.macros = {}
        self.defined = []
        parts = []
        if self.chance(0.35):
            self.files["lib.j2"] = self.library()
            lib_macros = dict(self.macros)
            ctx = self.pick(["", " with context", " without context"])
            if self.chance(0.5):
                parts.append("{%% import 'lib.j2' as lib%s %%}" % ctx)
                for _ in range(self.r.randint(1, 2)):
                    m = self.pick(list(lib_macros) or self.MACROS)
                    uses = [self.macro_call(m, "lib."), "{{ lib.v }}", "{{ lib.c is defined }}", "{{ lib._h }}"]
                    if lib_macros.get(m, {}).get("caller"):
                        uses.append("{%% call lib.%s(%s) %%}c{%% endcall %%}" % (m, self.macro_args(lib_macros.get(m))))
                    parts.append(self.pick(uses))
            else:
                names = self.r.sample(self.MACROS + ["v", "nope"], self.r.randint(1, 3))
                parts.append("{%% from 'lib.j2' import %s%s %%}" % (", ".join(names), ctx))
                self.defined = [n for n in names if n in lib_macros]
                parts.extend(self.macro_call(n) for n in self.defined)
                if "v" in names:
                    parts.append("{{ v }}")
        for m in self.MACROS:
            if self.chance(0.7 if m not in self.defined else 0.2):
                parts.append(self.macro_def(m))
                if m not in self.defined:
                    self.defined.append(m)
        for _ in range(self.r.randint(1, 4)):
            parts.append(self.macro_use(0) if self.chance(0.75) else self.stmt(1))
        return "".join(parts) + self.pick(["", "\n"])

    def template(self):
        self.files = {}
        if self.chance(0.4):
            return self.macro_template()
        return "".join(self.stmt(0) for _ in range(self.r.randint(1, 3))) + self.pick(["", "\n"])

    def case(self):
        """One case: main.j2's source "t", the context "c", further templates "f"."""
        if self.chance(0.5):
            return self.inheritance_case()
        t = self.template()  # may add the templates it imports to self.files
        return {"t": t, "c": self.context(), "f": self.files}

    # ---- inheritance, includes, recursive loops ----

    BLOCKS = ["a", "b", "c"]

    def tree(self, depth=0):
        """A tree for recursive loops: nodes {"n": text, "c": [children]} (now and then without "c")."""
        node = {"n": self.pick(TEXTS[:12] + [1, 2, None])}
        if depth < 3 and self.chance(0.8):
            node["c"] = [self.tree(depth + 1) for _ in range(self.r.randint(0, 3))]
        return node

    def safe_stmt(self, d, in_loop=False):
        """A statement that mostly renders: prints of the context's names, sets, small ifs and loops."""
        r = self.r.random()
        if r < 0.25:
            return self.text()
        if r < 0.55:
            return "{{ %s }}" % self.pick(["x", "v", "n", "s", "x|default('-')", "s|upper", "l|length", "x ~ v",
                                           "n|string|length", "m.a|default(1)", "undef", "v if v is defined else 0",
                                           "tree|length", "'İ'|lower", "5e-324", "2 ** 70", "-0.0"])
        if r < 0.7:
            return "{%% set %s = %s %%}" % (self.pick(["x", "v", "n"]), self.pick(
                ["1", "'Iı'", "x ~ 'x'", "l|length", "[1, 2]", "none", "n|default(0)", "2 ** 64", "1.7976931348623157e308"]))
        if r < 0.82 and d < 3:
            return "{%% if %s %%}%s{%% else %%}%s{%% endif %%}" % (
                self.pick(["x", "v is defined", "l", "not n", "x == 1"]), self.safe_stmt(d + 1, in_loop),
                self.safe_stmt(d + 1, in_loop))
        if r < 0.92 and d < 3:
            return "{%% for %s in %s %%}%s{%% endfor %%}" % (self.pick(["i", "x"]), self.pick(["[1, 2]", "'ab'", "range(2)", "l"]),
                                                             self.safe_stmt(d + 1, True))
        if in_loop:
            return self.pick(["{{ loop.index }}", "{{ loop.depth }}", "{{ i|default('') }}"])
        return self.text()

    def recursive_loop(self, d):
        seq = self.pick(["tree", "tree", "tree[0].c", "[tree[0]]", "[]"])
        inner = self.pick(["loop(x.c)", "loop(x.c|default([]))", "loop(x.c|default([]))", "loop(x.c or [])",
                           "loop(x.c|default([]))|upper", "loop(x.c|d([]))|length", "loop([])"])
        parts = [self.pick(["{{ x.n }}", "{{ x.n|default('-') }}", "[", "{{ loop.depth }}", "{{ loop.depth0 }}",
                            "{{ loop.index }}/{{ loop.length }}", "{{ loop.cycle('p', 'q') }}", "{{ loop.first }}"])
                 for _ in range(self.r.randint(1, 3))]
        call = self.pick(["{{ %s }}" % inner, "{%% if x.c %%}({{ %s }}){%% endif %%}" % inner,
                          "{%% set sub = %s %%}<{{ sub }}>" % inner, "{%% if x is mapping %%}{{ %s }}{%% endif %%}" % inner])
        parts.insert(self.r.randint(0, len(parts)), call)
        if self.chance(0.2):
            parts.append(self.safe_stmt(d + 1, True) if self.chance(0.7) else self.body(d + 1, True))
        cond = self.pick([" if (x is mapping)", " if x.n"]) if self.chance(0.15) else ""
        els = "{%% else %%}%s" % self.pick(["E", "{{ x }}", "-"]) if self.chance(0.2) else ""
        return "{%% for x in %s%s recursive %%}%s%s{%% endfor %%}" % (seq, cond, "".join(parts), els)

    def include_stmt(self):
        name = self.pick(["'inc.j2'", "'inc.j2'", "['nope.j2', 'inc.j2']", "('inc.j2', 'nope.j2')", "incname",
                          "['nope.j2']", "[]", "'nope.j2'", "[undef, 'inc.j2']", "names", "'inc.j2'", "'inc.j2'"])
        missing = name in ("['nope.j2']", "[]", "'nope.j2'", "incname", "names")
        extra = self.pick(["", "", "", " ignore missing", " without context", " with context",
                           " ignore missing without context"])
        if missing and self.chance(0.8) and "ignore" not in extra:
            extra = " ignore missing" + extra
        return "{%% include %s%s %%}" % (name, extra)

    def inherit_stmt(self, d, in_loop):
        """A statement of this group for the ordinary statement generator."""
        r = self.r.random()
        if r < 0.35:
            return self.recursive_loop(d)
        if r < 0.55:
            return self.include_stmt()
        if r < 0.8:
            return self.autoescape_stmt(d)
        return "{{ self.%s() }}" % self.pick(self.BLOCKS) if self.chance(0.5) else self.block(d, in_loop, 0)

    def markup_expr(self, d):
        """An expression mixing Markup and plain strings."""
        atoms = ["s", "x", "b", "'<i>'", "'&'", "s|safe", "x|e", "'<b>'|safe", "n", "l", "m", "undef", "1.5",
                 "s|escape", "none", "(s|safe)[0]", "s|e|upper", "'a<'|safe|lower", "tree[0].n|default('<')",
                 "(s|safe).upper()", "(x|e).lower()", "(' <&'|safe).strip()", "('<&a'|safe).strip('&')",
                 "(s|e).replace('&', '<')", "('a<'|safe).replace('<', 'x')", "(s|e).startswith('&')"]
        r = self.r.random()
        a = lambda: self.pick(atoms) if d > 1 or self.chance(0.6) else self.markup_expr(d + 1)
        if r < 0.3:
            return a()
        if r < 0.5:
            return "%s ~ %s" % (a(), a()) if self.chance(0.7) else "%s ~ %s ~ %s" % (a(), a(), a())
        if r < 0.6:
            return "(%s) + (%s)" % (self.pick(["s|safe", "'<'|safe", "s", "'&'"]), self.pick(["s|safe", "'<'", "x|e", "'a'"]))
        if r < 0.75:
            return ("[%s, %s]|join(%s)" % (a(), a(), self.pick(["", "'<'", "'<'|safe", "s", "', '"]))).replace("join()", "join")
        if r < 0.85:
            return "(%s)|replace(%s, %s)" % (a(), self.pick(["'<'", "'a'", "'&'|safe", "'i'"]), self.pick(["'>'", "'&'|safe", "'x'", "'<'"]))
        if r < 0.92:
            return "(%s)|%s" % (a(), self.pick(["e", "safe", "upper", "length", "string", "first", "trim", "center(9)", "list"]))
        return "%s if %s else %s" % (a(), self.pick(["x", "n", "l"]), a())

    def autoescape_stmt(self, d):
        flag = self.pick(["true", "true", "true", "false", "1", "none", "True"])
        parts = []
        for _ in range(self.r.randint(1, 4)):
            r = self.r.random()
            if r < 0.6:
                parts.append("{{ %s }}" % self.markup_expr(0))
            elif r < 0.7:
                parts.append("{%% set x = %s %%}" % self.markup_expr(1))
            elif r < 0.78:
                parts.append("{%% for i in %s %%}{{ %s }}{%% endfor %%}" % (self.pick(["l", "[s, s|safe]", "'<&'"]),
                                                                          self.pick(["i", "i ~ s", "i|e", "i ~ '<'|safe"])))
            elif r < 0.84:
                parts.append(self.include_stmt())
            elif r < 0.9 and d < 2:
                parts.append(self.autoescape_stmt(d + 1))
            else:
                parts.append(self.safe_stmt(d + 1))
        return "{%% autoescape %s %%}%s{%% endautoescape %%}" % (flag, "".join(parts))

    def block_body(self, d, in_loop, level, name="a"):
        parts = []
        for _ in range(self.r.randint(1, 3)):
            r = self.r.random()
            if r < 0.25 and level > 0 and name in self.BLOCKS:
                parts.append(self.pick(["{{ super() }}", "{{ super()|upper }}", "{{ super()|length }}",
                                        "{% set sup = super() %}[{{ sup }}]", "{{ super() ~ super() }}"]))
            elif r < 0.35 and name in ("a", "b"):
                # a and b call c, c and the blocks within blocks call none: no endless recursion
                parts.append("{{ self.c() }}")
            elif r < 0.45:
                parts.append(self.pick(["{{ loop.index }}", "{{ i }}", "{{ x }}", "{{ v }}"]) if in_loop else
                             self.pick(["{{ x }}", "{{ v }}", "{{ n }}"]))
            elif r < 0.52 and d < 3:
                parts.append(self.block(d + 1, in_loop, level, self.pick(["d", "e"])))
            elif r < 0.58:
                parts.append(self.include_stmt())
            elif r < 0.62:
                parts.append(self.recursive_loop(d + 1))
            elif r < 0.66:
                parts.append(self.autoescape_stmt(d + 1))
            elif r < 0.96:
                parts.append(self.safe_stmt(d + 1, False))
            else:
                parts.append(self.stmt(d + 1, False))
        return "".join(parts)

    def block(self, d, in_loop, level, name=None):
        name = name or self.pick(self.BLOCKS + ["a"])
        mods = self.pick(["", "", "", " scoped"]) if in_loop else self.pick(["", "", "", "", " scoped"])
        end = self.pick(["", "", " " + name])
        return "{%% block %s%s %%}%s{%% endblock%s %%}" % (name, mods, self.block_body(d, in_loop, level, name), end)

    def unique_blocks(self, text):
        """Whether no block name stands twice in `text` (Jinja2 refuses that template)."""
        import re
        names = re.findall(r"\{%-? block (\w+)", text)
        return len(names) == len(set(names))

    def inheriting_template(self, parent, level, top):
        """A template: extending `parent` (None: a base), its blocks overriding (level > 0) or placing them."""
        for _ in range(20):
            parts = []
            if parent is not None:
                if self.chance(0.3):
                    parts.append(self.pick(["pre ", "{{ x }}", "{% set v = 1 %}", "{{ 1 }}"]))
                ext = "{%% extends %s %%}" % (parent if self.chance(0.85) or not top else "basename")
                r = self.r.random()
                if r < 0.1:
                    ext = "{%% if %s %%}%s{%% endif %%}" % (self.pick(["x", "v is defined", "l", "true"]), ext)
                elif r < 0.13:
                    ext = ext + self.pick(["", "\n", "{% set v = 2 %}"]) + ext
                elif r < 0.15:
                    ext = self.pick(["{%% for i in l %%}%s{%% endfor %%}", "{%% autoescape true %%}%s{%% endautoescape %%}"]) % ext
                parts.append(ext)
            used = set()
            for _ in range(self.r.randint(1, 4)):
                r = self.r.random()
                if r < 0.45:
                    name = self.pick(self.BLOCKS)
                    parts.append(self.block(1, False, level, name))
                elif r < 0.5 and level > 0:
                    parts.append("{%% block r %%}%s{%% endblock %%}" % self.safe_stmt(2))
                elif r < 0.55 and parent is None:
                    target = self.pick(["i", "x", "v"])
                    parts.append("{%% for %s in %s %%}%s{%% endfor %%}" % (
                        target, self.pick(["[1, 2]", "l", "range(2)", "'ab'"]),
                        self.block(2, True, level, self.pick(self.BLOCKS))))
                elif r < 0.62 and parent is None:
                    parts.append("{%% if %s %%}%s{%% endif %%}" % (self.expr(2, False), self.block(2, False, level)))
                elif r < 0.72:
                    parts.append("{%% set %s = %s %%}" % (self.pick(["x", "v", "n"]), self.expr(2)))
                elif r < 0.78:
                    parts.append(self.include_stmt())
                elif r < 0.84 and parent is None:
                    parts.append("{{ self.%s() }}" % self.pick(self.BLOCKS))
                elif r < 0.95:
                    parts.append(self.safe_stmt(1))
                else:
                    parts.append(self.stmt(1))
            if parent is None:
                if self.chance(0.15):
                    parts.append(self.pick(["{% block r required %}{% endblock %}", "{% block r required %} \n{# c #}{% endblock r %}",
                                            "{% if x %}{% block r required %}{% endblock %}{% endif %}"]))
                # a base places every block, so that self.name() finds it
                for name in self.BLOCKS:
                    if "block %s" % name not in "".join(parts):
                        parts.insert(self.r.randint(0, len(parts)), "{%% block %s %%}%s{%% endblock %%}" % (
                            name, self.safe_stmt(2) if name != "c" else self.text()))
            text = "".join(parts) + self.pick(["", "\n", " tail"])
            if self.unique_blocks(text):
                return text
        return "{%% extends %s %%}" % parent if parent else "base"

    def inheritance_case(self):
        files = {}
        r = self.r.random()
        if r < 0.75:
            files["base.j2"] = self.inheriting_template(None, 0, False)
            if self.chance(0.35):
                files["mid.j2"] = self.inheriting_template("'base.j2'", 1, False)
                main = self.inheriting_template(self.pick(["'mid.j2'", "'mid.j2'", "'base.j2'"]), 2, True)
            else:
                main = self.inheriting_template("'base.j2'", 1, True)
        else:
            for _ in range(20):
                main = "".join(self.pick([self.recursive_loop(0), self.include_stmt(), self.safe_stmt(0),
                                          self.block(0, False, 0, "a"), self.autoescape_stmt(0), self.autoescape_stmt(0)])
                           for _ in range(self.r.randint(1, 3)))
                main += "{% block c %}C{% endblock %}"
                if self.unique_blocks(main):
                    break
        if "block r required" in files.get("base.j2", "") and "block r " not in main + files.get("mid.j2", "") \
                and self.chance(0.85):
            main += "{% block r %}R{{ x }}{% endblock %}"
        files["inc.j2"] = "".join(self.pick(["I", "{{ x }}", "{{ v }}", "{% set x = 'inc' %}", "{{ i }}",
                                             self.recursive_loop(1), self.safe_stmt(1), "{% block a %}IA{% endblock %}"])
                                  for _ in range(self.r.randint(1, 2)))
        ctx = self.context()
        ctx["tree"] = [self.tree() for _ in range(self.r.randint(0, 3))] or [{"n": "r"}]
        ctx["basename"] = "base.j2"
        ctx["incname"] = self.pick(["inc.j2", "nope.j2"])
        ctx["names"] = self.pick([["nope.j2", "inc.j2"], ["inc.j2"], [], ["nope.j2"]])
        return {"t": main, "c": ctx, "f": files}


# ---- running ----------------------------------------------------------------

TEXTS_LITERALS = [json.dumps(t, ensure_ascii=False) for t in TEXTS if "\\" not in json.dumps(t)]


def make_env():
    return jinja2.Environment(autoescape=False, loader=jinja2.DictLoader({}))


def jinja_render(env, source, ctx, files=None):
    try:
        if files:
            env = jinja2.Environment(autoescape=False, loader=jinja2.DictLoader(dict(files, **{"main.j2": source})))
            return True, env.get_template("main.j2").render(**ctx)
        return True, env.from_string(source).render(**ctx)
    except Exception as exc:  # every failure is a result to compare
        return False, "%s: %s" % (type(exc).__name__, exc)


def run_batch(args):
    tool, seed, start, count = args
    # A case Jinja2 cannot finish (a text of gigabytes from `n * 'x'`) fails
    # with MemoryError rather than stalling the run.
    try:
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))
    except (ImportError, ValueError, OSError):
        pass
    rnd = random.Random("%d:%d" % (seed, start))
    gen = Gen(rnd)
    cases = []
    for _ in range(count):
        cases.append(gen.case())
    lines = "".join(json.dumps(c, ensure_ascii=False, allow_nan=True) + "\n" for c in cases)
    proc = subprocess.run([tool], input=lines.encode("utf-8", "surrogatepass"), capture_output=True)
    if proc.returncode != 0:
        return {"crash": "tool exited with %d: %s" % (proc.returncode, proc.stderr.decode("utf-8", "replace")),
                "start": start}
    ours = []
    for l in proc.stdout.split(b"\n")[:-1]:
        try:
            ours.append(json.loads(l.decode("utf-8", "surrogatepass")))
        except UnicodeDecodeError:  # not UTF-8: can never equal Jinja2's text
            ours.append(json.loads(l.decode("utf-8", "replace")))
            ours[-1]["bad_utf8"] = True
    if len(ours) != len(cases):
        return {"crash": "tool gave %d results for %d cases" % (len(ours), len(cases)), "start": start}
    env = make_env()
    res = {"match": 0, "refused": 0, "both_failed": 0, "defects": [], "refusals": {}}
    for case, our in zip(cases, ours):
        ok, text = jinja_render(env, case["t"], case["c"], case.get("f"))
        if not our["ok"]:
            res["refused"] += 1
            if not ok:
                res["both_failed"] += 1
            else:
                msg = our["err"].split(": ", 1)[-1][:60]
                res["refusals"][msg] = res["refusals"].get(msg, 0) + 1
            continue
        if ok and text.encode("utf-8", "surrogatepass") == our["out"].encode("utf-8", "surrogatepass"):
            res["match"] += 1
            continue
        res["defects"].append({"template": case["t"], "context": case["c"], "files": case.get("f"), "ours": our["out"],
                               "jinja2": text if ok else None, "jinja2_error": None if ok else text})
    return res


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--tool", required=True, help="the template_diff_tool program")
    ap.add_argument("--cases", type=int, default=10000)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--jobs", type=int, default=1)
    ap.add_argument("--batch", type=int, default=2000)
    ap.add_argument("--report", help="file for the defects found (template, context, both outputs)")
    a = ap.parse_args()
    batches = [(a.tool, a.seed, s, min(a.batch, a.cases - s)) for s in range(0, a.cases, a.batch)]
    total = {"match": 0, "refused": 0, "both_failed": 0, "defects": [], "refusals": {}}
    crashes = []
    with multiprocessing.Pool(a.jobs) as pool:
        for res in pool.imap_unordered(run_batch, batches):
            if "crash" in res:
                crashes.append(res)
                continue
            for k in ("match", "refused", "both_failed"):
                total[k] += res[k]
            total["defects"].extend(res["defects"])
            for k, v in res["refusals"].items():
                total["refusals"][k] = total["refusals"].get(k, 0) + v
    n = total["match"] + total["refused"] + len(total["defects"])
    print("template_diff_fuzz: %d cases (seed %d): %d identical, %d refused by our engine (%d of them failed in "
          "Jinja2 too), %d silent differences" % (n, a.seed, total["match"], total["refused"], total["both_failed"],
                                                  len(total["defects"])))
    top = sorted(total["refusals"].items(), key=lambda kv: -kv[1])[:8]
    for msg, count in top:
        print("  refused where Jinja2 rendered: %6d  %s" % (count, msg))
    for c in crashes:
        print("CRASH in the batch from case %d: %s" % (c["start"], c["crash"]))
    if a.report:
        with open(a.report, "w", encoding="utf-8", errors="surrogatepass") as f:
            for d in total["defects"][:200]:
                f.write(json.dumps(d, ensure_ascii=True) + "\n")
    for d in total["defects"][:5]:
        print("DEFECT:", json.dumps(d, ensure_ascii=False)[:1500])
    return 1 if total["defects"] or crashes else 0


if __name__ == "__main__":
    sys.exit(main())
