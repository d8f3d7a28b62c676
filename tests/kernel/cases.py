#!/usr/bin/python3
"""Cases that run inside the lab guest (tests/kernel/lab) against the real drivers.

    cases.py --build DIR PATH [CASE...]

PATH is usb (usblp over a USB printer gadget), serial (cdc-acm over an ACM gadget, and
two 8250 UARTs wired to each other) or bluetooth (bluetoothd over two virtual
controllers); usb-bench is not a test but the USB benchmark on the real usblp
(bench/usb/lab). Each case prints one line: "ok", "FAIL" with the reason, or, for a case
marked with a known fault that a later change mends, "known fault" (it failed as
expected) or "known fault, passed this time" (the fault is intermittent). A known-fault
case never fails the run; remove its mark once the fault is mended, so that it must pass.
The status is 1 when a case without a mark fails.
"""
import argparse
import errno
import fcntl
import glob
import json
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time
import traceback

VENDOR = 0x0F0F          # the project's placeholder USB vendor ID
OTHER_VENDOR = 0x1234    # another maker's device (a placeholder, as the unit tests use)
TYPE_ID = 0x20
MODEL_ID = "MFG:ZAQ;CMD:ZAQ;MDL:KV-20 Lab;CLS:PRINTER;"
CONFIGFS = "/sys/kernel/config/usb_gadget"

BUILD = ""


class Fail(Exception):
    pass


def check(cond, what):
    if not cond:
        raise Fail(what)


def wait_for(cond, seconds, what):
    """Polls cond until it is true; a bound against a hang, not a measurement."""
    end = time.monotonic() + seconds
    while True:
        value = cond()
        if value:
            return value
        if time.monotonic() > end:
            raise Fail(f"{what}: not within {seconds} s")
        time.sleep(0.05)


def run(cmd, **kw):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kw)


def modprobe(*names):
    for n in names:
        r = run(["modprobe", *n.split()])
        if r.returncode != 0:
            raise Fail(f"module {n} cannot be loaded: {r.stdout.strip()}")


def write(path, text):
    with open(path, "w") as f:
        f.write(text)


# --- USB gadgets -------------------------------------------------------------------------

_printer_minors = set()


class Gadget:
    """A configfs USB gadget with one function (printer or acm), bound to a dummy_hcd UDC."""

    def __init__(self, name, function, udc, vendor=VENDOR, product=0x0101, serial="", pnp=MODEL_ID):
        self.dir = f"{CONFIGFS}/{name}"
        self.udc = udc
        self.function = function
        os.makedirs(self.dir)
        write(f"{self.dir}/idVendor", f"0x{vendor:04x}")
        write(f"{self.dir}/idProduct", f"0x{product:04x}")
        os.makedirs(f"{self.dir}/strings/0x409")
        write(f"{self.dir}/strings/0x409/manufacturer", "ZAQ" if vendor == VENDOR else "Other")
        write(f"{self.dir}/strings/0x409/product", "KV-20 Lab")
        if serial:
            write(f"{self.dir}/strings/0x409/serialnumber", serial)
        os.makedirs(f"{self.dir}/configs/c.1")
        fdir = f"{self.dir}/functions/{function}.0"
        os.makedirs(fdir)
        if function == "printer":
            # The gadget counts the device ID's length without its own two bytes, and usblp
            # takes them off again: two spare characters keep the whole ID.
            write(f"{fdir}/pnp_string", pnp + "  ")
            # The function takes the lowest free minor when it is made; its node appears
            # only once the gadget is bound.
            self.minor = min(set(range(len(_printer_minors) + 1)) - _printer_minors)
            _printer_minors.add(self.minor)
            self.node = f"/dev/g_printer{self.minor}"
        else:
            self.node = "/dev/ttyGS" + open(f"{fdir}/port_num").read().strip()
        os.symlink(fdir, f"{self.dir}/configs/c.1/{function}.0")

    def bind(self):
        write(f"{self.dir}/UDC", self.udc)

    def unbind(self):
        write(f"{self.dir}/UDC", "\n")

    def bound(self):
        return open(f"{self.dir}/UDC").read().strip() != ""


def lp_nodes():
    return sorted(glob.glob("/dev/usb/lp*"))


def node_of_serial(pattern, serial):
    """The node of a sysfs class (glob pattern) whose USB device has this serial number,
    or None."""
    for node in glob.glob(pattern):
        try:
            if open(f"{node}/device/../serial").read().strip() == serial:
                return os.path.basename(node)
        except OSError:
            pass
    return None


def lp_of_gadget_serial(serial):
    return node_of_serial("/sys/class/usbmisc/lp*", serial)


# --- the simulated printer and the updater ------------------------------------------------

class Printer:
    """kelvo-printer-sim serving the printer's side of a real device."""

    def __init__(self, work, node, gadget=None, extra=(), name="p"):
        self.work = f"{work}/{name}"
        os.makedirs(f"{self.work}/store")
        self.transcript = f"{self.work}/transcript.jsonl"
        cmd = [f"{BUILD}/sim/kelvo-printer-sim", f"--type-id={TYPE_ID:02X}", "--rom-id=05", "--timing=fast",
               f"--transcript={self.transcript}", f"--store-dir={self.work}/store", *extra]
        if node:
            cmd += ["--transport=node", f"--node={node}"]
        if gadget:
            cmd += [f"--gadget={gadget.dir}", f"--udc={gadget.udc}"]
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        line = self.proc.stdout.readline()
        check("ready" in line, f"the simulated printer did not start: {line.strip()}")

    def events(self, name=None):
        out = []
        try:
            with open(self.transcript) as f:
                for line in f:
                    try:
                        e = json.loads(line)
                    except ValueError:
                        continue
                    if name is None or e.get("event") == name:
                        out.append(e)
        except OSError:
            pass
        return out

    def stored(self):
        return sorted(glob.glob(f"{self.work}/store/*.bin"), key=lambda p: int(os.path.basename(p).split("-")[0]))

    def signal(self, sig):
        self.proc.send_signal(sig)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def update_files(work, interfaces="IF_USB|IF_COM", fw_size=120000, kf_size=40000):
    files = f"{work}/files"
    os.makedirs(files, exist_ok=True)
    write(f"{files}/config.ini", f'{TYPE_ID},"ZAQ Lab Printer",M|K,{interfaces},0\n')
    sim = f"{BUILD}/sim/kelvo-printer-sim"
    r = run([sim, "make-update", "--kind=FW", f"--type-id={TYPE_ID:02X}", "--rom-id=07", f"--size={fw_size}",
             f"--out-dir={files}"])
    check(r.returncode == 0, f"make-update FW: {r.stdout}")
    r = run([sim, "make-update", "--kind=KF", f"--type-id={TYPE_ID:02X}", f"--size={kf_size}", f"--out-dir={files}"])
    check(r.returncode == 0, f"make-update KF: {r.stdout}")
    return files


def file_of(files, kind):
    return glob.glob(f"{files}/{kind}*.bin")[0]


def same_as_file(stored_path, file_path, kind):
    """A stored transfer is byte for byte its file (data kinds behind their 20-byte header)."""
    data = open(stored_path, "rb").read()
    want = open(file_path, "rb").read()
    header = 0 if kind == "FW" else 20
    if len(data) != header + len(want):
        return f"{kind}: stored {len(data)} bytes for a file of {len(want)}"
    if data[header:] != want:
        return f"{kind}: differs from its file"
    return ""


def check_stored(printer, files, kinds=("FW", "KF")):
    stored = printer.stored()
    got = [os.path.basename(p).split("-", 1)[1][:-4] for p in stored]
    check(got == list(kinds), f"the printer stored {got}, not {list(kinds)}")
    for path, kind in zip(stored, kinds):
        problem = same_as_file(path, file_of(files, kind), kind)
        check(not problem, problem)


def cli(args, files=None, env_extra=None, timeout=180):
    env = dict(os.environ)
    env.update(env_extra or {})
    cmd = [f"{BUILD}/src/cli/kelvo-cli", *args]
    if files:
        cmd[1:1] = ["--dir", files]
    try:
        return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env,
                              timeout=timeout)
    except subprocess.TimeoutExpired:
        raise Fail(f"kelvo-cli {' '.join(args)} did not end within {timeout} s")


def result_json(r):
    for line in reversed(r.stdout.splitlines()):
        line = line.strip()
        if line.startswith("{"):
            return json.loads(line)
    raise Fail(f"no JSON result (status {r.returncode}): {r.stderr[-400:]}")


def start_cli(args, files):
    cmd = [f"{BUILD}/src/cli/kelvo-cli", "--dir", files, *args]
    return subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def remove_gadgets():
    """Unbinds and removes every gadget a case made, so the next case starts bare.
    Returns nothing: no finding of its own."""
    _printer_minors.clear()
    for g in glob.glob(f"{CONFIGFS}/*"):
        try:
            write(f"{g}/UDC", "\n")
        except OSError:
            pass
        for link in glob.glob(f"{g}/configs/*/*.0"):
            os.unlink(link)
        for d in glob.glob(f"{g}/configs/*/strings/*") + glob.glob(f"{g}/configs/*") + \
                glob.glob(f"{g}/functions/*") + glob.glob(f"{g}/strings/*") + [g]:
            try:
                os.rmdir(d)
            except OSError:
                pass


def port_of_lp(lp):
    return "USB%03d" % (int(lp[2:]) + 1)


def our_printer(work, udc="dummy_udc.0", serial="LAB0001", extra=(), name="p"):
    g = Gadget(f"g{serial}", "printer", udc, serial=serial)
    p = Printer(work, g.node, gadget=g, extra=extra, name=name)
    lp = wait_for(lambda: lp_of_gadget_serial(serial), 30, f"usblp node of {serial}")
    return g, p, lp


# --- USB: usblp over a USB printer gadget --------------------------------------------------

def usb_discovery(work):
    """The list shows the maker's printer through usblp's sysfs entries, not another maker's."""
    _, p, lp = our_printer(work)
    other = Gadget("other", "printer", "dummy_udc.1", vendor=OTHER_VENDOR, serial="OTH0001",
                   pnp="MFG:Other;CMD:PCL;MDL:Thing;CLS:PRINTER;")
    other.bind()
    wait_for(lambda: len(lp_nodes()) == 2, 30, "two usblp nodes")
    r = cli(["--kind", "usb", "--list"])
    lines = r.stdout.splitlines()
    check(lines == [f"{port_of_lp(lp)}\t (ZAQ KV-20 Lab)"], f"--list printed {lines}")
    p.stop()


def usb_single_open(work):
    """usblp allows one open at a time: a second open is refused with EBUSY."""
    _, p, lp = our_printer(work)
    fd = os.open(f"/dev/usb/{lp}", os.O_RDWR | os.O_NONBLOCK)
    try:
        os.open(f"/dev/usb/{lp}", os.O_RDWR | os.O_NONBLOCK)
        raise Fail("a second open succeeded")
    except OSError as e:
        check(e.errno == errno.EBUSY, f"a second open failed with {errno.errorcode.get(e.errno)}, not EBUSY")
    finally:
        os.close(fd)
    p.stop()


def usb_cancel_at_close(work):
    """A non-blocking write returns before its transfer ends; the last close cancels it."""
    g = Gadget("gLAB0001", "printer", "dummy_udc.0", serial="LAB0001")
    g.bind()
    lp = wait_for(lambda: lp_of_gadget_serial("LAB0001"), 30, "usblp node")
    printer_side = wait_for(lambda: _try_open(g.node), 30, "the gadget's printer side")
    fd = os.open(f"/dev/usb/{lp}", os.O_WRONLY | os.O_NONBLOCK)
    sent = 0
    # Fill the printer's receive queue: a transfer that stays under way is the last one.
    import select
    while True:
        r = select.select([], [fd], [], 1.0)[1]
        if not r:
            break
        try:
            sent += os.write(fd, b"\x55" * 4096)
        except BlockingIOError:
            continue
    os.close(fd)
    received = 0
    while True:
        if not select.select([printer_side], [], [], 1.0)[0]:
            break
        try:
            chunk = os.read(printer_side, 65536)
        except BlockingIOError:
            continue
        if not chunk:
            break
        received += len(chunk)
    os.close(printer_side)
    check(sent > received, f"all {sent} bytes counted as written arrived ({received})")


def _try_open(path):
    try:
        return os.open(path, os.O_RDWR | os.O_NONBLOCK)
    except OSError:
        return None


def usb_update(work):
    """A whole update over usblp: firmware and font stored byte for byte, the printer found
    again after its restart."""
    files = update_files(work)
    _, p, lp = our_printer(work)
    r = cli(["--kind", "usb", "--port", port_of_lp(lp), "--json"], files)
    res = result_json(r)
    check(res["result"] == 0, f"result {res['result']}: {res.get('messages')}")
    check(res["rom_id_after"] == "07", f"ROM ID after {res['rom_id_after']}")
    check_stored(p, files)
    p.stop()


def usb_restart_next_number(work):
    """Another maker's printer plugged in during the restart takes the number; ours comes
    back under the next one and is found there."""
    files = update_files(work)
    _, p, lp = our_printer(work)
    other = Gadget("other", "printer", "dummy_udc.1", vendor=OTHER_VENDOR, serial="OTH0001",
                   pnp="MFG:Other;CMD:PCL;MDL:Thing;CLS:PRINTER;")
    proc = start_cli(["--kind", "usb", "--port", port_of_lp(lp), "--json"], files)
    wait_for(lambda: any(e.get("reason") == "restart" and e.get("state") == "down" for e in p.events("link")),
             120, "the printer's restart")
    other.bind()
    wait_for(lambda: lp_of_gadget_serial("OTH0001"), 30, "the other printer's node")
    out, err = proc.communicate(timeout=300)
    res = result_json(subprocess.CompletedProcess([], proc.returncode, out, err))
    now = lp_of_gadget_serial("LAB0001")
    check(now is not None and now != lp, f"our printer came back as {now}, not under a new number")
    check(res["result"] == 0, f"result {res['result']}: {res.get('messages')}")
    check_stored(p, files)
    p.stop()


def usb_unplug_retry(work):
    """The printer leaves the bus in the middle of the firmware and enumerates again; the
    retry run sends the whole image, and nothing of the first transfer reaches the device
    that came back."""
    files = update_files(work, fw_size=200000)
    _, p, lp = our_printer(work, extra=["--drop-after=60000"])
    r = cli(["--kind", "usb", "--port", port_of_lp(lp), "--yes", "--json"], files)
    res = result_json(r)
    check(res["result"] == 0, f"result {res['result']}: {res.get('messages')}")
    ends = [e for e in p.events("transfer_end") if e.get("kind") == "FW"]
    bad = [e for e in ends if e.get("result") != "dropped" and e.get("result") != "stored"]
    check(not bad, f"a transfer that ended {[e.get('result') for e in bad]}: the rest of an image went on "
                   f"to the printer that came back")
    check_stored(p, files)
    p.stop()


def usb_ctrl_c(work):
    """Ctrl+C during the firmware transfer ends the run as cancelled and frees the node."""
    files = update_files(work, fw_size=400000)
    _, p, lp = our_printer(work, extra=["--read-rate=100000"])
    proc = start_cli(["--kind", "usb", "--port", port_of_lp(lp)], files)
    wait_for(lambda: p.events("transfer_begin"), 120, "the firmware transfer")
    proc.send_signal(signal.SIGINT)
    try:
        proc.communicate(timeout=60)
    except subprocess.TimeoutExpired:
        proc.kill()
        raise Fail("kelvo-cli did not end within 60 s of Ctrl+C")
    check(proc.returncode == 3, f"exit status {proc.returncode}, not 3")
    fd = _try_open(f"/dev/usb/{lp}")
    check(fd is not None or lp_of_gadget_serial("LAB0001") != lp, "the node is still held after the run")
    if fd is not None:
        os.close(fd)
    p.stop()


def usb_fleet(work):
    """Two of the maker's printers updated at once, one reporting a wrong ROM ID after its
    restart: each result, ROM ID and byte belongs to its own printer. Their restarts
    overlap so that usblp gives the quicker one the other's freed number."""
    files = update_files(work)
    _, good, lp_good = our_printer(work, "dummy_udc.0", "LAB0001", name="good",
                                   extra=["--flash-ms=200", "--restart-ms=5000"])
    _, bad, lp_bad = our_printer(work, "dummy_udc.1", "LAB0002", name="bad",
                                 extra=["--wrong-rom-id=09", "--flash-ms=1500", "--restart-ms=300"])
    port_good, port_bad = port_of_lp(lp_good), port_of_lp(lp_bad)
    r = cli(["--kind", "usb", "--port", port_good, "--port", port_bad, "--parallel", "2", "--json"], files)
    doc = result_json(r)
    by_port = {x.get("port"): x for x in doc.get("results", [])}
    check(set(by_port) == {port_good, port_bad}, f"results for {sorted(by_port)}")
    check(by_port[port_good]["result"] == 0, f"{port_good}: result {by_port[port_good]['result']}")
    check(by_port[port_bad]["result"] != 0, f"{port_bad} (wrong ROM ID) reported success")
    check_stored(good, files)
    kinds = [os.path.basename(s).split("-", 1)[1][:-4] for s in bad.stored()]
    check(kinds == ["FW"], f"the faulty printer stored {kinds}, not only its firmware")
    problem = same_as_file(bad.stored()[0], file_of(files, "FW"), "FW")
    check(not problem, problem)
    good.stop()
    bad.stop()


USB = [
    (usb_discovery, None),
    (usb_single_open, None),
    (usb_cancel_at_close, None),
    (usb_update, None),
    (usb_restart_next_number, None),
    (usb_unplug_retry, None),
    (usb_ctrl_c, None),
    (usb_fleet, None),
]


def usb_paced_bench(work):
    """Not a test (bench/usb/lab): bench_usb's BM_LabGadget, 1 MiB through the port service
    and through a plain write() loop to the real usblp, the gadget's end read at a
    printer's pace."""
    g = Gadget("gbench", "printer", "dummy_udc.0", serial="BENCH01")
    g.bind()
    lp = wait_for(lambda: lp_of_gadget_serial("BENCH01"), 30, "usblp node of the gadget")
    check(lp == "lp0", f"the gadget's usblp node is {lp}, not lp0")
    wait_for(lambda: os.path.exists(g.node), 30, g.node)
    r = run([f"{BUILD}/bench/usb/bench_usb", "--benchmark_filter=BM_LabGadget", "--benchmark_counters_tabular=true"],
            env=dict(os.environ, KELVO_BENCH_GADGET=g.node), timeout=300)
    print(r.stdout)
    check(r.returncode == 0 and "ERROR" not in r.stdout, "bench_usb failed")


USB_BENCH = [(usb_paced_bench, None)]


# --- serial: cdc-acm over an ACM gadget, and two 8250 UARTs wired to each other -------------

TIOCOUTQ = 0x5411
TIOCGSERIAL = 0x541E


def acm_gadget(serial="ACM0001"):
    g = Gadget(f"a{serial}", "acm", "dummy_udc.0", product=0x0102, serial=serial)
    return g


def tty_of_serial(serial):
    return node_of_serial("/sys/class/tty/ttyACM*", serial)


def raw_open(path):
    fd = os.open(path, os.O_RDWR | os.O_NONBLOCK | os.O_NOCTTY)
    attrs = termios.tcgetattr(fd)
    attrs[0] = attrs[1] = attrs[3] = 0
    attrs[2] = termios.CS8 | termios.CREAD | termios.CLOCAL
    termios.tcsetattr(fd, termios.TCSANOW, attrs)
    return fd


def serial_discovery(work):
    """The list shows the maker's ACM port, and no UART without hardware (ttyS3). The wired
    UARTs carry no modem lines: QEMU shows DSR and CD on, which is not a printer's line."""
    g = acm_gadget()
    g.bind()
    tty = wait_for(lambda: tty_of_serial("ACM0001"), 30, "the ttyACM node")
    r = cli(["--kind", "serial", "--list"])
    names = [line.split("\t")[0] for line in r.stdout.splitlines()]
    check(tty in names and "ttyS3" not in names, f"--list printed {r.stdout.splitlines()}")


def acm_outq_overcount(work):
    """cdc-acm counts each busy write buffer as full: a small write shows kilobytes queued."""
    g = acm_gadget()
    g.bind()
    tty = wait_for(lambda: tty_of_serial("ACM0001"), 30, "the ttyACM node")
    fd = raw_open(f"/dev/{tty}")
    try:
        os.write(fd, b"\x10" * 100)
        queued = struct.unpack("i", fcntl.ioctl(fd, TIOCOUTQ, b"\0" * 4))[0]
        check(queued >= 1024, f"TIOCOUTQ says {queued} bytes after a 100-byte write")
    finally:
        g.unbind()  # else the close waits out closing_wait for the queued bytes
        os.close(fd)


def acm_number_kept(work):
    """cdc-acm keeps the device number until the last close: a device that comes back while
    its tty is held gets the next number."""
    g = acm_gadget()
    g.bind()
    tty = wait_for(lambda: tty_of_serial("ACM0001"), 30, "the ttyACM node")
    fd = raw_open(f"/dev/{tty}")
    try:
        g.unbind()
        wait_for(lambda: tty_of_serial("ACM0001") is None, 30, "the device to leave")
        g.bind()
        again = wait_for(lambda: tty_of_serial("ACM0001"), 30, "the device to come back")
        check(again != tty, f"the device came back as {again} while {tty} was held")
    finally:
        os.close(fd)


def acm_close_waits(work):
    """A tty close waits (up to closing_wait, 30 s) for queued output: it returns only once
    the device side reads."""
    g = acm_gadget()
    g.bind()
    tty = wait_for(lambda: tty_of_serial("ACM0001"), 30, "the ttyACM node")
    fd = raw_open(f"/dev/{tty}")
    info = fcntl.ioctl(fd, TIOCGSERIAL, b"\0" * 72)
    closing_wait = struct.unpack_from("H", info, 40)[0]  # struct serial_struct
    os.close(fd)
    check(closing_wait == 3000, f"closing_wait is {closing_wait} (1/100 s)")
    child = subprocess.Popen(["/usr/bin/python3", "-c",
                              "import os,sys; fd=os.open(sys.argv[1], os.O_RDWR|os.O_NONBLOCK|os.O_NOCTTY); "
                              "os.write(fd, b'x'*4096); os.close(fd)", f"/dev/{tty}"])
    in_close = lambda: open(f"/proc/{child.pid}/syscall").read().split()[0] == "3" if child.poll() is None else None
    wait_for(in_close, 30, "the child to reach close()")
    time.sleep(1.0)
    check(child.poll() is None, "close() returned while the device side was not reading")
    side = wait_for(lambda: _try_open(g.node), 30, "the device side")
    try:
        wait_for(lambda: child.poll() is not None, 30, "close() once the device side reads")
    finally:
        os.close(side)


def acm_update(work):
    """A whole update over a real ttyACM: firmware and font stored byte for byte, the printer
    found again after its restart."""
    files = update_files(work)
    g = acm_gadget()
    p = Printer(work, g.node, gadget=g)
    tty = wait_for(lambda: tty_of_serial("ACM0001"), 30, "the ttyACM node")
    r = cli(["--kind", "serial", "--port", tty, "--json"], files, timeout=120)
    res = result_json(r)
    check(res["result"] == 0, f"result {res['result']}: {res.get('messages')}")
    check_stored(p, files)
    p.stop()


def uart_update(work):
    """A whole update over a real 8250 UART (ttyS1, wired to the printer's ttyS2)."""
    files = update_files(work, fw_size=60000, kf_size=20000)
    p = Printer(work, "/dev/ttyS2")
    r = cli(["--kind", "serial", "--port", "ttyS1", "--json"], files)
    res = result_json(r)
    check(res["result"] == 0, f"result {res['result']}: {res.get('messages')}")
    check_stored(p, files)
    p.stop()


SERIAL = [
    (serial_discovery, None),
    (acm_outq_overcount, None),
    (acm_number_kept, None),
    (acm_close_waits, None),
    (acm_update, None),
    (uart_update, None),
]


def setup_serial():
    modprobe("dummy_hcd", "libcomposite", "usb_f_acm", "cdc_acm")


# --- Bluetooth: bluetoothd over virtual controllers ----------------------------------------

SPP = "00001101-0000-1000-8000-00805f9b34fb"
SOL_BLUETOOTH, BT_DEFER_SETUP = 274, 7
BT = {}  # "hosts": the updater's controllers ("host" the first); "printers": the printers', each paired
# through the host of the same place


def bluez():
    import dbus
    return dbus.SystemBus(private=True)


def managed_objects(bus):
    import dbus
    om = dbus.Interface(bus.get_object("org.bluez", "/"), "org.freedesktop.DBus.ObjectManager")
    return om.GetManagedObjects()


def adapters(bus):
    objs = managed_objects(bus)
    return {str(v["org.bluez.Adapter1"]["Address"]): str(k) for k, v in objs.items() if "org.bluez.Adapter1" in v}


def set_prop(bus, path, iface, name, value):
    import dbus
    props = dbus.Interface(bus.get_object("org.bluez", path), "org.freedesktop.DBus.Properties")
    props.Set(iface, name, value)


def agent_main():
    """A NoInputNoOutput agent that accepts every request (its own process and main loop)."""
    import dbus
    import dbus.mainloop.glib
    import dbus.service
    from gi.repository import GLib
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SystemBus()

    class Agent(dbus.service.Object):
        @dbus.service.method("org.bluez.Agent1", in_signature="", out_signature="")
        def Release(self):
            pass

        @dbus.service.method("org.bluez.Agent1", in_signature="os", out_signature="")
        def AuthorizeService(self, device, uuid):
            pass

        @dbus.service.method("org.bluez.Agent1", in_signature="ou", out_signature="")
        def RequestConfirmation(self, device, passkey):
            pass

        @dbus.service.method("org.bluez.Agent1", in_signature="o", out_signature="")
        def RequestAuthorization(self, device):
            pass

        @dbus.service.method("org.bluez.Agent1", in_signature="", out_signature="")
        def Cancel(self):
            pass

    Agent(bus, "/kelvo/lab/agent")
    mgr = dbus.Interface(bus.get_object("org.bluez", "/org/bluez"), "org.bluez.AgentManager1")
    mgr.RegisterAgent("/kelvo/lab/agent", "NoInputNoOutput")
    mgr.RequestDefaultAgent("/kelvo/lab/agent")
    print("agent ready", flush=True)
    GLib.MainLoop().run()


def setup_bluetooth():
    import dbus
    modprobe("bluetooth", "hci_vhci", "rfcomm", "af_alg", "algif_hash", "algif_skcipher", "ecb", "cmac")
    os.makedirs("/run/dbus", exist_ok=True)
    r = run(["dbus-daemon", "--system", "--fork"])
    check(r.returncode == 0, f"dbus-daemon: {r.stdout}")
    # hci0 and hci3 are the updater's, hci1 and hci2 printers, on one emulated air. Each
    # printer is paired through its own host controller: btvirt (5.66) sends ACL data
    # under the sender's connection handle, and with two links on one controller the
    # handles of the two ends differ, so the second link's data is lost (the kernel logs
    # "ACL packet for unknown connection handle") and the link dies.
    subprocess.Popen(["btvirt", "-l4"], stdout=open("/tmp/btvirt.log", "w"), stderr=subprocess.STDOUT)
    wait_for(lambda: len(glob.glob("/sys/class/bluetooth/hci*")) == 4, 30, "four virtual controllers")
    # -C: the SDP server takes sdptool's record for the printers' RFCOMM channel.
    # KELVO_LAB_BLUETOOTHD: more options, e.g. -d for its debug log.
    extra = os.environ.get("KELVO_LAB_BLUETOOTHD", "").split()
    subprocess.Popen(["/usr/libexec/bluetooth/bluetoothd", "-n", "-C", *extra], stdout=open("/tmp/bluetoothd.log", "w"),
                     stderr=subprocess.STDOUT)
    bus = bluez()
    # Asked before it owns its name, the bus would try to start another bluetoothd.
    owned = lambda: bus.call_blocking("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                      "NameHasOwner", "s", ("org.bluez",))
    wait_for(owned, 120, "bluetoothd on the system bus")
    wait_for(lambda: _try(lambda: len(adapters(bus)) == 4), 60, "bluetoothd's four adapters")
    agent = subprocess.Popen(["/usr/bin/python3", os.path.abspath(__file__), "--agent"], stdout=subprocess.PIPE,
                             text=True)
    check("agent ready" in agent.stdout.readline(), "the pairing agent did not start")
    by_addr = adapters(bus)
    by_index = {int(p.rsplit("hci", 1)[1]): a for a, p in by_addr.items()}
    hosts = [by_index[0], by_index[3]]
    printers = [by_index[1], by_index[2]]
    for addr, path in by_addr.items():
        set_prop(bus, path, "org.bluez.Adapter1", "Powered", dbus.Boolean(True))
        set_prop(bus, path, "org.bluez.Adapter1", "Pairable", dbus.Boolean(True))
        if addr in printers:
            set_prop(bus, path, "org.bluez.Adapter1", "Discoverable", dbus.Boolean(True))
    for addr in printers:
        path = by_addr[addr]
        # A printer's class of device: imaging, printer, with the rendering service bit.
        index = path.rsplit("hci", 1)[1]
        for cmd in (["class", "6", "128"], ["add-uuid", SPP, "4"]):
            r = run(["btmgmt", "--index", index, *cmd])
            check(r.returncode == 0, f"btmgmt {' '.join(cmd)}: {r.stdout}")
        # bluetoothd sets its own class when the adapter powers up: wait until ours holds.
        wait_for(lambda: _adapter_class(bus, path) == 0x040680 or
                 (run(["btmgmt", "--index", index, "class", "6", "128"]) and False), 30,
                 f"the printer's class of device on hci{index}")
    r = run(["sdptool", "add", "--channel=1", "SP"])
    check(r.returncode == 0, f"sdptool add SP: {r.stdout}")
    for host_addr, a in zip(hosts, printers):
        host = by_addr[host_addr]
        adapter = dbus.Interface(bus.get_object("org.bluez", host), "org.bluez.Adapter1")
        adapter.StartDiscovery()
        dev_path = f"{host}/dev_" + a.replace(":", "_")
        wait_for(lambda: dev_path in managed_objects(bus), 60, f"{a} seen by discovery")
        # Paired while discovery runs, as the README's steps do (a device found but not paired
        # is temporary: bluetoothd forgets it after main.conf's TemporaryTimeout, 30 s).
        dev = dbus.Interface(bus.get_object("org.bluez", dev_path), "org.bluez.Device1")
        dev.Pair(timeout=60)
        set_prop(bus, dev_path, "org.bluez.Device1", "Trusted", dbus.Boolean(True))
        adapter.StopDiscovery()
    BT["host"], BT["hosts"], BT["printers"] = hosts[0], hosts, printers


def _adapter_class(bus, path):
    return int(_try(lambda: managed_objects(bus)[path]["org.bluez.Adapter1"]["Class"]) or 0)


def _try(fn):
    try:
        return fn()
    except Exception:
        return None


def bt_printer(work, addr, extra=(), name="p"):
    return Printer(work, None, extra=["--rfcomm", addr, "--data-port=0", "--status-port=0", "--no-discovery", *extra],
                   name=name)


def bt_discovery(work):
    """The list shows the paired printers from bluetoothd's objects."""
    r = cli(["--kind", "bluetooth", "--list"])
    names = [line.split("\t")[0] for line in r.stdout.splitlines()]
    check(sorted(names) == sorted(BT["printers"]), f"--list printed {r.stdout.splitlines()}")


def bt_register_refused(work):
    """bluetoothd lets one live profile hold a UUID: a second RegisterProfile of SPP from
    another client is refused."""
    import dbus
    first, second = bluez(), bluez()
    opts = {"Role": "client"}
    mgr1 = dbus.Interface(first.get_object("org.bluez", "/org/bluez"), "org.bluez.ProfileManager1")
    mgr2 = dbus.Interface(second.get_object("org.bluez", "/org/bluez"), "org.bluez.ProfileManager1")
    mgr1.RegisterProfile("/kelvo/lab/one", SPP, opts)
    try:
        mgr2.RegisterProfile("/kelvo/lab/two", SPP, opts)
        raise Fail("a second registration of the SPP UUID was accepted")
    except dbus.DBusException as e:
        check(e.get_dbus_name() == "org.bluez.Error.NotPermitted", f"refused with {e.get_dbus_name()}")
    finally:
        mgr1.UnregisterProfile("/kelvo/lab/one")
        first.close()
        second.close()


def bt_unregister_ends_connect(work):
    """A profile that goes while bluetoothd's ConnectProfile for it is under way ends that
    connect at once (the strict mock does the same): Failed "br-connection-aborted-by-local",
    and the daemon lives on."""
    import dbus
    import select
    import socket
    import threading
    srv = socket.socket(socket.AF_BLUETOOTH, socket.SOCK_STREAM, socket.BTPROTO_RFCOMM)
    srv.bind((BT["printers"][0], 1))
    srv.setsockopt(SOL_BLUETOOTH, BT_DEFER_SETUP, 1)  # holds the connect at the channel
    srv.listen(1)
    owner, caller = bluez(), bluez()
    mgr = dbus.Interface(owner.get_object("org.bluez", "/org/bluez"), "org.bluez.ProfileManager1")
    path = next(p for p, v in managed_objects(caller).items() if "org.bluez.Device1" in v and
                str(v["org.bluez.Device1"]["Address"]) == BT["printers"][0] and v["org.bluez.Device1"]["Paired"])
    dev = dbus.Interface(caller.get_object("org.bluez", path), "org.bluez.Device1")
    answer = []

    def connect():
        try:
            dev.ConnectProfile(SPP, timeout=60)
            answer.append(("success", ""))
        except dbus.DBusException as e:
            answer.append((e.get_dbus_name(), e.get_dbus_message()))

    mgr.RegisterProfile("/kelvo/lab/held", SPP, {"Role": "client"})
    t = threading.Thread(target=connect)
    t.start()
    try:
        ready, _, _ = select.select([srv], [], [], 60)
        check(ready, "the connect never reached the printer's channel")
        mgr.UnregisterProfile("/kelvo/lab/held")
        t.join(30)
        check(answer == [("org.bluez.Error.Failed", "br-connection-aborted-by-local")], f"ConnectProfile: {answer}")
    finally:
        t.join(60)
        srv.close()
        owner.close()
        caller.close()


def bt_no_half_close(work):
    """RFCOMM has no half-close: shutting down the sending side ends the link both ways."""
    import socket
    srv = socket.socket(socket.AF_BLUETOOTH, socket.SOCK_STREAM, socket.BTPROTO_RFCOMM)
    srv.bind((BT["printers"][0], 3))
    srv.listen(1)
    c = socket.socket(socket.AF_BLUETOOTH, socket.SOCK_STREAM, socket.BTPROTO_RFCOMM)
    c.bind((BT["host"], 0))
    c.settimeout(30)
    c.connect((BT["printers"][0], 3))
    peer, _ = srv.accept()
    try:
        c.shutdown(socket.SHUT_WR)
        peer.settimeout(30)
        try:
            end = peer.recv(16)
        except ConnectionResetError:
            end = b""  # the link went down as a whole
        check(end == b"", "the peer did not see the end")
        # The printer's side still sends; on a half-closed link this would arrive.
        try:
            peer.send(b"answer")
        except OSError:
            pass
        try:
            got = c.recv(16)
        except OSError:
            got = b""
        check(got == b"", f"the shut-down side still received {got!r}")
    finally:
        for x in (c, peer, srv):
            x.close()


def bt_update(work):
    """A whole update over RFCOMM through bluetoothd: firmware and font stored byte for
    byte, the printer connected again after its restart. The updater holds its SPP
    registration only for the connect: while the firmware goes over the link, another
    client may register SPP, and the link lives on."""
    import dbus
    files = update_files(work, interfaces="IF_BT", fw_size=200000)
    p = bt_printer(work, BT["printers"][0], extra=["--read-rate=40000"])
    proc = start_cli(["--kind", "bluetooth", "--port", BT["printers"][0], "--json"], files)
    wait_for(lambda: p.events("transfer_begin"), 120, "the firmware transfer")
    other = bluez()
    mgr = dbus.Interface(other.get_object("org.bluez", "/org/bluez"), "org.bluez.ProfileManager1")
    try:
        mgr.RegisterProfile("/kelvo/lab/other", SPP, {"Role": "client"})
        mgr.UnregisterProfile("/kelvo/lab/other")
    except dbus.DBusException as e:
        raise Fail(f"SPP was still registered during the transfer: {e.get_dbus_name()}")
    finally:
        other.close()
    try:
        out, _ = proc.communicate(timeout=180)
    except subprocess.TimeoutExpired:
        proc.kill()
        raise Fail("kelvo-cli did not end within 180 s")
    res = result_json(subprocess.CompletedProcess([], proc.returncode, out, ""))
    check(res["result"] == 0, f"result {res['result']}: {res.get('messages')}")
    check(not p.events("drop"), "the link was dropped")
    check_stored(p, files)
    p.stop()


def bt_drop_retry(work):
    """The link drops in the middle of the firmware; Retry connects again through
    bluetoothd and sends the whole image."""
    files = update_files(work, interfaces="IF_BT", fw_size=200000)
    p = bt_printer(work, BT["printers"][1], extra=["--drop-after=60000"])
    r = cli(["--kind", "bluetooth", "--port", BT["printers"][1], "--yes", "--json"], files)
    res = result_json(r)
    check(res["result"] == 0, f"result {res['result']}: {res.get('messages')}")
    check(p.events("drop"), "the printer never dropped the link")
    links = [e for e in p.events("connect") if not e.get("refused")]
    check(len(links) >= 2, f"{len(links)} link(s): the retry did not connect again")
    check_stored(p, files)
    p.stop()


def bt_fleet(work):
    """Two Bluetooth printers updated at once: both succeed."""
    files = update_files(work, interfaces="IF_BT")
    a, b = BT["printers"]
    pa, pb = bt_printer(work, a, name="a"), bt_printer(work, b, name="b")
    r = cli(["--kind", "bluetooth", "--port", a, "--port", b, "--parallel", "2", "--json"], files)
    doc = result_json(r)
    results = {x.get("port"): x.get("result") for x in doc.get("results", [])}
    check(results == {a: 0, b: 0}, f"results {results}")
    check_stored(pa, files)
    check_stored(pb, files)


def bt_ctrl_c_connect(work):
    """Ctrl+C while bluetoothd's ConnectProfile is still pending ends the run as cancelled;
    bluetoothd lives on (its client left with the connect under way) and keeps no SPP
    registration of ours."""
    import dbus
    import select
    import socket
    files = update_files(work, interfaces="IF_BT")
    # The printer's channel holds every connect: with deferred setup the kernel confirms
    # the channel only when the listener accepts it, which this one never does.
    srv = socket.socket(socket.AF_BLUETOOTH, socket.SOCK_STREAM, socket.BTPROTO_RFCOMM)
    srv.bind((BT["printers"][1], 1))
    srv.setsockopt(SOL_BLUETOOTH, BT_DEFER_SETUP, 1)  # the kernel takes it once bound
    srv.listen(1)
    try:
        proc = start_cli(["--kind", "bluetooth", "--port", BT["printers"][1]], files)
        ready, _, _ = select.select([srv], [], [], 120)
        check(ready, "the connect never reached the printer's channel")
        proc.send_signal(signal.SIGINT)
        try:
            proc.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            proc.kill()
            raise Fail("kelvo-cli did not end within 30 s of Ctrl+C")
        check(proc.returncode == 3, f"exit status {proc.returncode}, not 3")
    finally:
        srv.close()
    other = bluez()
    mgr = dbus.Interface(other.get_object("org.bluez", "/org/bluez"), "org.bluez.ProfileManager1")
    try:
        mgr.RegisterProfile("/kelvo/lab/other", SPP, {"Role": "client"})
        mgr.UnregisterProfile("/kelvo/lab/other")
    except dbus.DBusException as e:
        raise Fail(f"SPP still registered after the cancelled connect: {e.get_dbus_name()}")
    finally:
        other.close()


BLUETOOTH = [
    (bt_register_refused, None),
    (bt_no_half_close, None),
    (bt_unregister_ends_connect, None),
    (bt_discovery, None),
    (bt_ctrl_c_connect, None),  # first: the cases after it show that bluetoothd still serves
    (bt_update, None),
    (bt_fleet, None),
    (bt_drop_retry, None),
]


def bluetoothd_alive():
    """A case after which bluetoothd is gone fails: the daemon's end is the finding."""
    if run(["pgrep", "-x", "bluetoothd"]).returncode != 0:
        tail = "".join(open("/tmp/bluetoothd.log", errors="replace").readlines()[-5:])
        return f"bluetoothd ended during this case; its last lines: {tail}"
    return None


def setup_usb():
    modprobe("dummy_hcd num=2", "libcomposite", "usb_f_printer", "usblp")


PATHS = {
    "usb": (setup_usb, USB, remove_gadgets),
    "serial": (setup_serial, SERIAL, remove_gadgets),
    "bluetooth": (setup_bluetooth, BLUETOOTH, bluetoothd_alive),
    "usb-bench": (setup_usb, USB_BENCH, remove_gadgets),
}


def main():
    global BUILD
    if sys.argv[1:] == ["--agent"]:
        agent_main()
        return 0
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("path", choices=sorted(PATHS))
    ap.add_argument("cases", nargs="*")
    a = ap.parse_args()
    BUILD = os.path.abspath(a.build)
    setup, table, cleanup = PATHS[a.path]
    shutil.rmtree("/var/log/ZAQ", ignore_errors=True)  # the host's, seen through the overlay
    try:
        setup()
    except Fail as e:
        print(f"lab {a.path}: set-up failed: {e}")
        return 1
    failed = 0
    for fn, known in table:
        if a.cases and fn.__name__ not in a.cases:
            continue
        work = tempfile.mkdtemp(prefix=fn.__name__ + ".", dir="/tmp")
        shutil.rmtree("/var/log/ZAQ", ignore_errors=True)
        started = time.monotonic()
        try:
            fn(work)
            outcome, reason = "pass", ""
        except Fail as e:
            outcome, reason = "fail", str(e)
        except Exception:
            lines = traceback.format_exc().strip().splitlines()
            outcome, reason = "fail", " / ".join(x.strip() for x in lines[-3:])
        finally:
            subprocess.run(["pkill", "-f", "kelvo-printer-sim"], stderr=subprocess.DEVNULL)
            subprocess.run(["pkill", "-f", "kelvo-cli"], stderr=subprocess.DEVNULL)
            problem = cleanup()
            if problem and outcome == "pass":
                outcome, reason = "fail", problem
        took = time.monotonic() - started
        if known:
            verdict = "known fault" if outcome == "fail" else "known fault, passed this time"
            print(f"{verdict}: {fn.__name__} ({took:.1f} s) [{known}] {reason}")
        elif outcome == "pass":
            print(f"ok: {fn.__name__} ({took:.1f} s)")
        else:
            failed += 1
            print(f"FAIL: {fn.__name__} ({took:.1f} s): {reason}")
            for log in glob.glob("/var/log/ZAQ/Logs/Kelvo*.log")[:2]:
                print(f"--- last lines of {log}")
                print("".join(open(log, errors="replace").readlines()[-25:]))
        keep = os.environ.get("KELVO_LAB_KEEP")  # a folder (e.g. under --out) for each case's logs
        if keep and os.path.isdir("/var/log/ZAQ"):
            shutil.copytree("/var/log/ZAQ", f"{keep}/{fn.__name__}", dirs_exist_ok=True, ignore_dangling_symlinks=True)
        shutil.rmtree(work, ignore_errors=True)
        sys.stdout.flush()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
