#!/usr/bin/env python3
"""Runs a Windows test program under Wine with COM7 on a pseudo-terminal whose other side this
script plays: it echoes every byte, and after "RATE?" it adds "=<rate>;" with the rate the
Windows side set (read from the slave's termios2). Wine maps COM ports to ttys through
HKLM\\Software\\Wine\\Ports; the wineserver is restarted so that the mapping takes effect.
With PTY_UNIT_WINE_FRAMES=1 Wine draws the windows' frames itself (a virtual X display has no
window manager to draw title bars), so that pictures of windows show them. With
PTY_UNIT_WINE_DPI=N the system runs at N dots per inch (144 is 150 %), as before afterwards.
Usage: pty_unit.py WINE PROGRAM.exe [ARGS...]   (exit code: the program's)"""
import fcntl, os, pty, select, struct, subprocess, sys, threading

TCGETS2 = 0x802C542A


def slave_rate(fd):
    buf = fcntl.ioctl(fd, TCGETS2, b"\0" * 44)
    return struct.unpack_from("I", buf, 40)[0]


def main():
    wine, prog = sys.argv[1], sys.argv[2:]
    master, slave = pty.openpty()
    name = os.ttyname(slave)
    env = dict(os.environ, WINEDEBUG=os.environ.get("WINEDEBUG", "-all"), MORFW_TEST_COM="COM7")
    subprocess.run([wine, "reg", "add", r"HKLM\Software\Wine\Ports", "/v", "COM7", "/t",
                    "REG_SZ", "/d", name, "/f"], env=env, capture_output=True, check=True)
    frames = os.environ.get("PTY_UNIT_WINE_FRAMES") == "1"
    if frames:
        subprocess.run([wine, "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Decorated",
                        "/t", "REG_SZ", "/d", "N", "/f"], env=env, capture_output=True, check=True)
    dpi = os.environ.get("PTY_UNIT_WINE_DPI")
    desktop = r"HKCU\Control Panel\Desktop"
    saved_dpi = None
    if dpi:
        query = subprocess.run([wine, "reg", "query", desktop, "/v", "LogPixels"], env=env,
                               capture_output=True, text=True)
        for line in query.stdout.splitlines():
            words = line.split()
            if len(words) == 3 and words[0] == "LogPixels":
                saved_dpi = str(int(words[2], 0))
        subprocess.run([wine, "reg", "add", desktop, "/v", "LogPixels",
                        "/t", "REG_DWORD", "/d", dpi, "/f"], env=env, capture_output=True,
                       check=True)
    subprocess.run(["wineserver", "-k"], env=env)
    subprocess.run(["wineserver", "-w"], env=env)
    stop = threading.Event()

    def unit():
        tail = b""
        while not stop.is_set():
            r, _, _ = select.select([master], [], [], 0.1)
            if not r:
                continue
            try:
                data = os.read(master, 4096)
            except OSError:
                continue
            out = data
            tail = (tail + data)[-5:]
            if tail == b"RATE?":
                out += b"=%d;" % slave_rate(slave)
                tail = b""
            if not os.environ.get("PTY_UNIT_SILENT"):
                os.write(master, out)

    t = threading.Thread(target=unit, daemon=True)
    t.start()
    try:
        code = subprocess.run([wine] + prog, env=env, timeout=600).returncode
    finally:
        stop.set()
        subprocess.run([wine, "reg", "delete", r"HKLM\Software\Wine\Ports", "/v", "COM7", "/f"],
                       env=env, capture_output=True)
        if frames:
            subprocess.run([wine, "reg", "delete", r"HKCU\Software\Wine\X11 Driver", "/v",
                            "Decorated", "/f"], env=env, capture_output=True)
        if dpi and saved_dpi:
            subprocess.run([wine, "reg", "add", desktop, "/v", "LogPixels", "/t", "REG_DWORD",
                            "/d", saved_dpi, "/f"], env=env, capture_output=True)
        elif dpi:
            subprocess.run([wine, "reg", "delete", desktop, "/v", "LogPixels", "/f"], env=env,
                           capture_output=True)
    sys.exit(code)


if __name__ == "__main__":
    main()
