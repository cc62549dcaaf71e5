#!/usr/bin/python3
"""Records the conformance corpus: runs full-screen programs with TERM=vt100 in a 24x80
pseudo-terminal, types a short scripted session, and keeps everything the program wrote
(programs/NAME.bin) and the byte offsets where it had gone quiet waiting for a key
(programs/NAME.offsets): each offset is a screen. Usage: record.py [NAME ...]"""
import fcntl, os, pty, select, signal, struct, sys, tempfile, termios, time

HERE = os.path.dirname(os.path.abspath(__file__))
TEXT = "\n".join("line %03d: the quick brown fox jumps over the lazy dog %s" % (i, "x" * (i % 17))
                 for i in range(1, 200)) + "\n"
UP, DOWN, RIGHT, LEFT = "\x1bOA", "\x1bOB", "\x1bOC", "\x1bOD"
SESSIONS = {
    "dialog": (["dialog", "--checklist", "Pick the parts to load", 15, 50, 6, "boot", "Boot loader", "on",
                "app", "Application", "off", "data", "Data tables", "off", "cfg", "Configuration", "off"],
               [DOWN, " ", DOWN, " ", DOWN, UP, "\t", "\t", "\t", "\r"]),
    "less": (["less", "{file}"], [" ", " ", "b", "j", "j", "k", "/fox jumps\r", "n", "G", "g", "q"]),
    "nano": (["nano", "--ignorercfiles", "{file}"],
             [DOWN, DOWN, RIGHT, RIGHT, "Hello unit", "\x0b", "\x0b", "\x15", "\x16", "\x07", "q", "\x18", "n"]),
    "vim": (["vim.tiny", "-u", "NONE", "-N", "{file}"],
            ["j", "j", "5j", "G", "gg", "/lazy\r", "n", "ityped text\x1b", "dd", "u", ":set nu\r", ":q!\r"]),
    "mc": (["mc", "-u", "-a", "{dir}"], [DOWN, DOWN, "\t", UP, "\x1b9", RIGHT, "\x1b", "\x1b", "\x1b1", "\x1b", "\x1b", "\x1b0", "y"]),
    "htop": (["htop", "-d", "600"], [DOWN, DOWN, "h", "q", "t", "t", "q"]),
}

def record(name, argv, keys):
    tmp = tempfile.mkdtemp()
    path = os.path.join(tmp, "notes.txt")
    open(path, "w").write(TEXT)
    for i in range(5):
        open(os.path.join(tmp, "file%d.txt" % i), "w").write("x" * i)
    argv = [str(a).format(file=path, dir=tmp) for a in argv]
    env = {"TERM": "vt100", "LANG": "C", "LC_ALL": "C", "HOME": tmp, "PATH": "/usr/bin:/bin",
           "LINES": "24", "COLUMNS": "80"}
    pid, fd = pty.fork()
    if pid == 0:
        os.chdir(tmp)
        os.execvpe(argv[0], argv, env)
    fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
    out, offsets = bytearray(), []

    def drain(quiet):
        last = time.time()
        while time.time() - last < quiet:
            r, _, _ = select.select([fd], [], [], 0.05)
            if r:
                try:
                    data = os.read(fd, 65536)
                except OSError:
                    return False
                if not data:
                    return False
                out.extend(data)
                last = time.time()
        return True

    alive = drain(2.0)
    for key in keys:
        if not alive:
            break
        offsets.append(len(out))
        os.write(fd, key.encode())
        alive = drain(0.8)
    if alive:
        offsets.append(len(out))
        os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    offsets = sorted(set(o for o in offsets if o > 0))
    open(os.path.join(HERE, "programs", name + ".bin"), "wb").write(out)
    open(os.path.join(HERE, "programs", name + ".offsets"), "w").write("".join("%d\n" % o for o in offsets))
    print(name, len(out), "bytes", len(offsets), "screens")

for name in sys.argv[1:] or SESSIONS:
    record(name, *SESSIONS[name])
