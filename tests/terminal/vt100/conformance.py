#!/usr/bin/python3
"""VT100 conformance: every recorded program screen (programs/NAME.bin up to each offset in
NAME.offsets) must print the same in brimwell-vtreplay as in libvterm's vterm-dump, unless
programs/NAME.N.expected records our screen with a first line "# reason"; every hand-written stream
(hand/NAME.vt, escapes \\e \\r \\n \\t \\xNN \\\\, line ends ignored, an optional first line
"# args: ...") must print hand/NAME.expected. Usage: conformance.py VTREPLAY VTERM_DUMP"""
import difflib, glob, os, re, subprocess, sys

HERE = os.path.dirname(os.path.abspath(__file__))
vtreplay, vterm_dump = sys.argv[1], sys.argv[2]

def run(tool, data, args=()):
    return subprocess.run([tool, *args, "-"], input=data, stdout=subprocess.PIPE, check=True).stdout.decode()

def expected_file(path):
    lines = open(path, encoding="utf-8").read().splitlines(True)
    if not lines or not lines[0].startswith("# ") or len(lines[0]) < 8:
        raise SystemExit("%s: the first line must give the reason: # ..." % path)
    return lines[0][2:].strip(), "".join(lines[1:])

def decode(text):
    text = text.replace("\n", "")
    return re.sub(rb"\\(e|r|n|t|x[0-9A-Fa-f]{2}|\\)", lambda m: {b"e": b"\x1b", b"r": b"\r", b"n": b"\n",
                  b"t": b"\t", b"\\": b"\\"}.get(m.group(1)) or bytes([int(m.group(1)[1:], 16)]), text.encode())

failures, screens, documented = [], 0, 0
def compare(name, ours, want):
    if ours != want:
        failures.append(name + "\n" + "".join(difflib.unified_diff(want.splitlines(True), ours.splitlines(True),
                                                                      "expected", "brimwell-vtreplay")))

for offsets in sorted(glob.glob(os.path.join(HERE, "programs", "*.offsets"))):
    prog = offsets[:-len(".offsets")]
    data = open(prog + ".bin", "rb").read()
    for n, off in enumerate((int(x) for x in open(offsets).read().split()), 1):
        name = "%s.%d" % (os.path.basename(prog), n)
        screens += 1
        special = "%s.%d.expected" % (prog, n)
        if os.path.exists(special):
            documented += 1
            want = expected_file(special)[1]
        else:
            want = run(vterm_dump, data[:off])
        compare(name, run(vtreplay, data[:off]), want)

for vt in sorted(glob.glob(os.path.join(HERE, "hand", "*.vt"))):
    text = open(vt, encoding="utf-8").read()
    args = []
    if text.startswith("# args:"):
        first, text = text.split("\n", 1)
        args = first[len("# args:"):].split()
    screens += 1
    compare(os.path.basename(vt), run(vtreplay, decode(text), args), expected_file(vt[:-3] + ".expected")[1])

for f in failures:
    print("MISMATCH", f)
print("%d screens, %d documented differences, %d mismatches" % (screens, documented, len(failures)))
sys.exit(1 if failures else 0)
