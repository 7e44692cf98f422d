#!/usr/bin/env python3
"""The program's metrics file read by a real node_exporter and Prometheus, with the shipped alert
rules loaded: before any run only the absence alert is raised, a good night raises nothing, and
a night whose source folder has gone shows as exit status 1 and the failed-run alert. The same
runs push their metrics to a real Pushgateway, which then holds them under the host's instance.

    test_alerts_live.py PROGRAM RULES

Both servers listen on 127.0.0.1 ports of their own and keep their data in one temporary folder,
with the program's settings, history, log and "disk"; everything started is stopped and the
folder removed at the end, whatever the end. The rules are loaded as shipped, except that every
`for:` and group interval is cut to a second so that the alerts show within the test's time.
"""
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

WAIT_SECONDS = 60
# A proxy named in the environment must never see the test's requests to 127.0.0.1.
HTTP = urllib.request.build_opener(urllib.request.ProxyHandler({}))


class Failure(Exception):
    pass


def free_ports(count):
    """Ports nobody listens on now, each different: all held until all are chosen."""
    socks = []
    try:
        for _ in range(count):
            s = socket.socket()
            s.bind(("127.0.0.1", 0))
            socks.append(s)
        return [s.getsockname()[1] for s in socks]
    finally:
        for s in socks:
            s.close()


def get_json(url):
    with HTTP.open(url, timeout=5) as r:
        doc = json.load(r)
    if doc.get("status") != "success":
        raise Failure("%s answered %s" % (url, doc))
    return doc["data"]


def wait_for(what, probe, servers):
    """Calls probe until it returns something true; fails after WAIT_SECONDS naming what."""
    deadline = time.monotonic() + WAIT_SECONDS
    last = None
    while time.monotonic() < deadline:
        try:
            got = probe()
            if got:
                return got
            last = None
        except (OSError, ValueError, Failure) as e:
            last = e
        for name, proc in servers.items():
            if proc.poll() is not None:
                raise Failure("%s exited with status %s while waiting for %s" % (name, proc.returncode, what))
        time.sleep(0.25)
    raise Failure("no %s within %d s%s" % (what, WAIT_SECONDS, " (last error: %s)" % last if last else ""))


class Live:
    def __init__(self, program, rules, tmp):
        self.tmp = tmp
        self.rules = rules
        self.servers = {}
        self.logs = {}
        exporter_port, prometheus_port, gateway_port = free_ports(3)
        self.gateway = "http://127.0.0.1:%d" % gateway_port
        self.target = "127.0.0.1:%d" % exporter_port
        self.api = "http://127.0.0.1:%d/api/v1/" % prometheus_port
        self.ready = "http://127.0.0.1:%d/-/ready" % prometheus_port
        self.textfile = os.path.join(tmp, "textfile")
        self.ws = os.path.join(tmp, "ws")
        for d in (self.textfile, os.path.join(tmp, "data"), self.ws):
            os.makedirs(d)
        self.program = self.place_program(program)

    def start(self, name, argv):
        log = open(os.path.join(self.tmp, name + ".log"), "wb")
        self.logs[name] = log.name
        self.servers[name] = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                                              cwd=self.tmp)
        log.close()

    def stop(self):
        for proc in self.servers.values():
            if proc.poll() is None:
                proc.terminate()
        for proc in self.servers.values():
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()

    def tails(self):
        text = ""
        for name, path in self.logs.items():
            with open(path, "rb") as f:
                lines = f.read().decode("utf-8", "replace").splitlines()[-15:]
            text += "--- %s (last lines)\n%s\n" % (name, "\n".join(lines))
        return text

    def start_servers(self):
        self.start("node_exporter", [
            "prometheus-node-exporter", "--collector.disable-defaults", "--collector.textfile",
            "--collector.textfile.directory=" + self.textfile, "--web.listen-address=" + self.target])
        with open(self.rules, encoding="utf-8") as f:
            shipped = f.read()
        quick, waits = re.subn(r"^(\s*)(for|interval):\s*\S+\s*$", r"\1\2: 1s", shipped, flags=re.M)
        if waits < 2 or "for: 1s" not in quick:
            raise Failure("found no for: or interval: to shorten in " + self.rules)
        # The selector the absence rule reads the file's age with, to be matched against the
        # collector's real label below.
        m = re.search(r"node_textfile_mtime_seconds\{[^}]*\}", shipped)
        if not m:
            raise Failure("the rules never read node_textfile_mtime_seconds")
        self.mtime_selector = m.group(0)
        with open(os.path.join(self.tmp, "rules.yml"), "w", encoding="utf-8") as f:
            f.write(quick)
        with open(os.path.join(self.tmp, "prometheus.yml"), "w", encoding="utf-8") as f:
            f.write("global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                    "rule_files:\n  - rules.yml\n"
                    "scrape_configs:\n  - job_name: node\n    static_configs:\n"
                    "      - targets: ['%s']\n" % self.target)
        self.start("pushgateway", [
            "prometheus-pushgateway", "--web.listen-address=" + self.gateway.split("/")[2]])
        self.start("prometheus", [
            "prometheus", "--config.file=" + os.path.join(self.tmp, "prometheus.yml"),
            "--storage.tsdb.path=" + os.path.join(self.tmp, "data"),
            "--web.listen-address=" + self.ready.split("/")[2]])

    def place_program(self, program):
        # The job file is named after the program's real path: a copy of the program gets its own.
        bin_dir = os.path.join(self.ws, "bin")
        os.makedirs(bin_dir)
        copy = os.path.join(bin_dir, "TavikBackupCopy")
        shutil.copy2(program, copy)
        for d in ("programdata", "home", "data", "config", "cache", "tmp", "runtime", "disk",
                  "source/vol1", "source/vol2"):
            os.makedirs(os.path.join(self.ws, d), mode=0o700)
        now = time.time()
        for name, size in (("vol1/SRV_C_VOL-b001.spf", 60000), ("vol1/SRV_C_VOL-b001-i001.spi", 6000),
                           ("vol2/SRV_D_VOL-b001.spf", 40000)):
            path = os.path.join(self.ws, "source", name)
            with open(path, "wb") as f:
                f.write(os.urandom(size))
            os.utime(path, (now - 3600, now - 3600))
        with open(os.path.join(self.ws, "disk", "ID.txt"), "wb") as f:
            f.write(b"Disk1\r\n01/12/2026 02:00:00\r\n"
                    b"*** DO NOT DELETE UNLESS YOU WANT TO CHANGE THE DISK LABEL ***\r\n")
        w = self.ws
        with open(copy + ".ini", "w", encoding="utf-8") as f:
            # A folder stands for the disk here, on purpose.
            f.write("[Main]\nIDPath=%s/disk\nSource=%s/source/vol1,%s/source/vol2\n"
                    "Destination=%s/disk/vol1,%s/disk/vol2\nVolume=SRV_C_VOL,SRV_D_VOL\n"
                    "SystemDiskAllowed=1\n" % (w, w, w, w, w))
        return copy

    def run_program(self, *args):
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "JOURNAL_STREAM", "INVOCATION_ID")}
        env.update(PROGRAMDATA=self.ws + "/programdata", HOME=self.ws + "/home",
                   XDG_DATA_HOME=self.ws + "/data", XDG_CONFIG_HOME=self.ws + "/config",
                   XDG_CACHE_HOME=self.ws + "/cache", XDG_RUNTIME_DIR=self.ws + "/runtime",
                   TMPDIR=self.ws + "/tmp", QT_QPA_PLATFORM="offscreen")
        r = subprocess.run([self.program, *args], env=env, cwd=self.ws, stdin=subprocess.DEVNULL,
                           capture_output=True, timeout=120)
        return r.returncode, (r.stdout + r.stderr).decode("utf-8", "replace")

    def query(self, expr):
        return get_json(self.api + "query?" + urllib.parse.urlencode({"query": expr}))["result"]

    def alerts(self):
        return get_json(self.api + "alerts")["alerts"]

    def values(self, expr):
        """The instant values of expr scraped from this test's exporter."""
        return [float(s["value"][1]) for s in self.query(expr) if s["metric"].get("instance") == self.target]

    def pushed(self, name):
        """The samples of name the Pushgateway holds, as (labels, value)."""
        with HTTP.open(self.gateway + "/metrics", timeout=5) as r:
            text = r.read().decode("utf-8")
        found = []
        for line in text.splitlines():
            m = re.match(r"^%s\{([^}]*)\} (\S+)$" % re.escape(name), line)
            if m:
                found.append((dict(re.findall(r'(\w+)="([^"]*)"', m.group(1))), float(m.group(2))))
        return found

    def check_pushed(self, status):
        got = self.pushed("tavik_last_run_exit_status")
        want = [({"instance": socket.gethostname(), "job": "tavik"}, float(status))]
        if got != want:
            raise Failure("the Pushgateway holds %s for tavik_last_run_exit_status, not %s" % (got, want))


def check(live):
    live.start_servers()
    wait_for("ready Prometheus", lambda: HTTP.open(live.ready, timeout=5).status == 200, live.servers)
    wait_for("scrape of node_exporter", lambda: live.values('up{job="node"}') == [1.0], live.servers)
    # Before any run the rules must notice that no host reports at all.
    wait_for("TavikBackupMetricsAbsent before the first run",
             lambda: any(a["labels"]["alertname"] == "TavikBackupMetricsAbsent" for a in live.alerts()),
             live.servers)

    wait_for("ready Pushgateway", lambda: HTTP.open(live.gateway + "/-/ready", timeout=5).status == 200,
             live.servers)
    settings = ["MetricsFile=" + os.path.join(live.textfile, "tavik.prom"), "IDDisk=1",
                "PushgatewayURL=" + live.gateway]
    settings += ["IDDisk%s=1" % d for d in ("Mon", "Tue", "Wed", "Thur", "Fri", "Sat", "Sun")]
    settings += ["%sID=Disk1" % d for d in ("Monday", "Tuesday", "Wednesday", "Thursday", "Friday",
                                            "Saturday", "Sunday")]
    status, out = live.run_program("--set", *settings)
    if status != 0:
        raise Failure("--set exited %d:\n%s" % (status, out))

    status, out = live.run_program("-h")
    if status != 0:
        raise Failure("the good night exited %d:\n%s" % (status, out))
    wait_for("exit status 0 of the good night",
             lambda: live.values("tavik_last_run_exit_status") == [0.0], live.servers)
    live.check_pushed(0)
    if len(live.values(live.mtime_selector)) != 1:
        raise Failure("%s matches no file of the collector: %s"
                      % (live.mtime_selector, live.query("node_textfile_mtime_seconds")))
    if live.values('tavik_disk_last_seen_timestamp_seconds{disk="Disk1"}') == []:
        raise Failure("no tavik_disk_last_seen_timestamp_seconds for Disk1")
    # A healthy host raises nothing, once the rules have seen its metrics a few times over.
    time.sleep(3)
    quiet = [a["labels"]["alertname"] for a in live.alerts()]
    if quiet:
        raise Failure("alerts after a good night: %s" % quiet)

    os.rename(os.path.join(live.ws, "source", "vol2"), os.path.join(live.ws, "source", "vol2.gone"))
    status, out = live.run_program("-h")
    if status != 1:
        raise Failure("the night without a source folder exited %d, not 1:\n%s" % (status, out))
    wait_for("exit status 1 of the failed night",
             lambda: live.values("tavik_last_run_exit_status") == [1.0], live.servers)
    live.check_pushed(1)

    def failed_alert():
        for a in live.alerts():
            labels = a["labels"]
            if labels["alertname"] == "TavikBackupFailed" and labels.get("instance") == live.target:
                return a
        return None

    alert = wait_for("TavikBackupFailed alert", failed_alert, live.servers)
    if alert["state"] not in ("pending", "firing") or alert["labels"].get("severity") != "critical":
        raise Failure("unexpected alert: %s" % alert)
    if live.target not in alert["annotations"].get("summary", ""):
        raise Failure("the summary does not name the host: %s" % alert["annotations"])

    # Every rule evaluated against the real series without an error (a many-to-many match, say).
    broken = [(r["name"], r.get("lastError")) for g in get_json(live.api + "rules")["groups"]
              for r in g["rules"] if r.get("health") != "ok"]
    if broken:
        raise Failure("rules that failed to evaluate: %s" % broken)
    print("ok: the program's metrics scraped through %s; after the failed night %s is %s"
          % (live.target, alert["labels"]["alertname"], alert["state"]))


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    program, rules = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    missing = [p for p in ("prometheus", "prometheus-node-exporter", "prometheus-pushgateway")
               if not shutil.which(p)]
    if missing:
        print("SKIPPED: %s not installed (Debian's packages of the same names; scripts/setup.sh "
              "installs them)" % ", ".join(missing))
        return 0
    # A time-out's TERM must still stop the servers and remove the folder.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    tmp = tempfile.mkdtemp(prefix="tavik-prometheus-")
    live = None
    try:
        live = Live(program, rules, tmp)
        check(live)
        return 0
    except (Failure, subprocess.TimeoutExpired) as e:
        print("FAILED: %s" % e, file=sys.stderr)
        if live:
            print(live.tails(), file=sys.stderr)
        return 1
    finally:
        if live:
            live.stop()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
