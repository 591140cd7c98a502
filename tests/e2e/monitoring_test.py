"""The monitoring glue with the real servers: Debian's prometheus and
prometheus-node-exporter, and Debian's Nagios 4 core, their programs taken
from the packages with `apt-get download` and `dpkg-deb -x` into the build
tree (no package is installed, no service of theirs started). Every server
listens on loopback in a private network namespace and dies with the test.

- Prometheus: simulated nodes, each with its own history read by the host's
  real `last` in a mount namespace of its own; the collector writes each
  node's file; one node_exporter per node serves it through its textfile
  collector; a Prometheus server scrapes them every second and evaluates the
  example alert rules. Each node's mean and the fleet's mean, asked through
  the HTTP API, must be the ones the records' own times give (and the fleet
  script's). promtool checks and tests the rules; systemd-analyze verifies
  the units.
- Nagios: the plugin as active service checks, through the example command
  definition; the states and performance data Nagios records must be the
  ones the records give."""

import json
import math
import os
import random
import re
import shlex
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.parse
import urllib.request

import harness
import host_last
from real_last_test import boots, clean, clock_went_back, with_crashes

TOOL = None
MAKE_WTMP = None
CONTRIB = None
SCRIPTS = None  # the collector and the plugin as built, reading CONTRIB's fleet-mean.awk
PACKAGES = None
MAN_PAGE = None
PACKAGE_NAMES = ("prometheus", "prometheus-node-exporter", "nagios4-core")
WAIT_SECONDS = 60
STABLE, CRASHY, CLOCK, FLAKY = "stable", "crashy", "clock", "flaky"
UNREADABLE, FRESH = "unreadable", "fresh"  # no history file; no finished boot
PROMETHEUS_PORT = 9090
FIRST_EXPORTER_PORT = 9101
DAY_SECONDS = 86400


def hours(rng):
    return rng.randint(600, 30000), True


def node_records():
    rng = random.Random(1214)
    return {STABLE: boots(rng, 12, clean), CRASHY: boots(rng, 15, with_crashes),
            CLOCK: boots(rng, 9, clock_went_back), FLAKY: boots(rng, 8, hours),
            FRESH: [("boot", host_last.START)]}


def debian_programs():
    """The packages' files, unpacked once into the build tree."""
    names = list(PACKAGE_NAMES)
    # From Debian 13 on, promtool has a package of its own.
    if subprocess.run(["apt-cache", "show", "promtool"], capture_output=True,
                      check=False).returncode == 0:
        names.append("promtool")
    root = harness.unpack_debian_packages(names, PACKAGES)
    return {"prometheus": os.path.join(root, "usr/bin/prometheus"),
            "promtool": os.path.join(root, "usr/bin/promtool"),
            "node_exporter": os.path.join(root, "usr/bin/prometheus-node-exporter"),
            "nagios": os.path.join(root, "usr/sbin/nagios4")}


class Nodes:
    """Histories, and a way to run a command as a node: in a mount namespace
    with the node's history over /var/log and the tool on the PATH."""

    def __init__(self, work):
        self.work = work
        self.records = node_records()
        self.expected = {node: host_last.expected(r) for node, r in self.records.items()}
        self.logs = {node: host_last.write_history(r, work, MAKE_WTMP, node)[0]
                     for node, r in self.records.items()}
        self.bin = os.path.join(work, "bin")
        os.mkdir(self.bin)
        shutil.copy(TOOL, os.path.join(self.bin, "mean-reboot-interval"))
        self.names = sorted(list(self.records) + [UNREADABLE])

    def command(self, node, argv):
        history = host_last.mount_history(self.logs.get(node))
        return ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                '%s && PATH=%s:$PATH && exec "$@"' % (history, shlex.quote(self.bin)),
                "sh"] + list(argv)

    def mean_seconds(self, node):
        lengths = self.expected[node].lengths
        return sum(lengths) * 60 / len(lengths)


def wait_for_port(port, process, log):
    deadline = time.monotonic() + WAIT_SECONDS
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            if process.poll() is not None or time.monotonic() > deadline:
                with open(log, encoding="utf-8", errors="replace") as handle:
                    raise RuntimeError("server on port %d did not start: %s" % (port, handle.read()))
            time.sleep(0.1)


class Servers:
    """Started servers, stopped in reverse order."""

    def __init__(self):
        self.processes = []

    def start(self, argv, log, port):
        with open(log, "wb") as handle:
            process = subprocess.Popen(argv, stdout=handle, stderr=subprocess.STDOUT)
        self.processes.append(process)
        wait_for_port(port, process, log)
        return process

    def stop(self):
        for process in reversed(self.processes):
            process.terminate()
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        self.processes = []


def query(expression):
    url = "http://127.0.0.1:%d/api/v1/query?%s" % (
        PROMETHEUS_PORT, urllib.parse.urlencode({"query": expression}))
    with urllib.request.urlopen(url, timeout=10) as response:
        answer = json.load(response)
    assert answer["status"] == "success", answer
    return {sample["metric"].get("node", ""): float(sample["value"][1])
            for sample in answer["data"]["result"]}


def prometheus_ready():
    try:
        with urllib.request.urlopen("http://127.0.0.1:%d/-/ready" % PROMETHEUS_PORT,
                                    timeout=10) as response:
            return response.status == 200
    except urllib.error.URLError:  # HTTPError included
        return False


class Prometheus(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory(prefix="mri-prometheus-")
        work = cls.dir.name
        os.chmod(work, 0o755)
        cls.programs = debian_programs()
        cls.nodes = Nodes(work)
        cls.servers = Servers()
        try:
            cls.start(work)
        except BaseException:
            cls.servers.stop()
            raise

    @classmethod
    def start(cls, work):
        targets = []
        for index, node in enumerate(cls.nodes.names):
            folder = os.path.join(work, "textfile-" + node)
            os.mkdir(folder)
            collector = os.path.join(SCRIPTS, "prometheus-textfile")
            subprocess.run(cls.nodes.command(node, [collector, "--output", os.path.join(
                folder, "mean_reboot_interval.prom")]), check=True)
            port = FIRST_EXPORTER_PORT + index
            cls.servers.start([cls.programs["node_exporter"],
                               "--web.listen-address=127.0.0.1:%d" % port,
                               "--collector.disable-defaults", "--collector.textfile",
                               "--collector.textfile.directory=" + folder],
                              os.path.join(work, node + ".exporter.log"), port)
            targets.append("      - targets: ['127.0.0.1:%d']\n        labels: {node: %s}\n"
                           % (port, node))
        config = os.path.join(work, "prometheus.yml")
        with open(config, "w", encoding="ascii") as handle:
            handle.write("global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                         "rule_files:\n  - %s\n"
                         "scrape_configs:\n  - job_name: node\n    static_configs:\n%s"
                         % (os.path.join(CONTRIB, "prometheus-alerts.yml"), "".join(targets)))
        cls.servers.start([cls.programs["prometheus"], "--config.file=" + config,
                           "--storage.tsdb.path=" + os.path.join(work, "tsdb"),
                           "--web.listen-address=127.0.0.1:%d" % PROMETHEUS_PORT],
                          os.path.join(work, "prometheus.log"), PROMETHEUS_PORT)
        # Listening is not ready: it answers 503 until its storage is open.
        deadline = time.monotonic() + WAIT_SECONDS
        while not prometheus_ready() or \
                len(query("mean_reboot_interval_history_readable")) < len(cls.nodes.names):
            if time.monotonic() > deadline:
                raise RuntimeError("Prometheus did not scrape every node")
            time.sleep(0.5)

    @classmethod
    def tearDownClass(cls):
        cls.servers.stop()
        cls.dir.cleanup()

    def test_each_nodes_mean_and_counts(self):
        means = query("mean_reboot_interval_boot_duration_seconds_sum"
                      " / mean_reboot_interval_boot_duration_seconds_count")
        counted = [n for n in self.nodes.names
                   if n != UNREADABLE and self.nodes.expected[n].lengths]
        # No boot yet: 0 / 0, which PromQL gives as NaN, and no alert takes.
        self.assertTrue(math.isnan(means.pop(FRESH)))
        self.assertEqual(sorted(means), counted)
        for node in counted:
            self.assertEqual(means[node], self.nodes.mean_seconds(node), node)
            print("%s: mean %.0f s over %d boots" % (node, means[node],
                                                   len(self.nodes.expected[node].lengths)))
        self.assertEqual(query("mean_reboot_interval_boot_duration_seconds_count")[FRESH], 0)
        crashed = query("mean_reboot_interval_crashed_boots")
        unreadable = query("mean_reboot_interval_unreadable_durations")
        for node in self.nodes.records:
            self.assertEqual(crashed[node], self.nodes.expected[node].every_crash(), node)
            self.assertEqual(unreadable[node], self.nodes.expected[node].unreadable, node)
        self.assertEqual(query("mean_reboot_interval_history_readable"),
                         {node: 0.0 if node == UNREADABLE else 1.0 for node in self.nodes.names})

    def test_the_fleet_mean(self):
        fleet = query("sum(mean_reboot_interval_boot_duration_seconds_sum)"
                      " / sum(mean_reboot_interval_boot_duration_seconds_count)")[""]
        every = [m for e in self.nodes.expected.values() for m in e.lengths]
        self.assertEqual(fleet, sum(every) * 60 / len(every))
        gathered = "".join(
            "".join("%s: %s\n" % (node, line) for line in subprocess.run(
                self.nodes.command(node, ["mean-reboot-interval", "-v"]), capture_output=True,
                text=True, check=False).stdout.splitlines())
            for node in self.nodes.names)
        script = subprocess.run(["awk", "-f", os.path.join(CONTRIB, "fleet-mean.awk")],
                                input=gathered, capture_output=True, text=True, check=True).stdout
        self.assertEqual(script.splitlines()[-1] + "\n",
                         harness.summary_line(int(fleet // 60)))
        print("PromQL fleet mean %.3f s; the records' own %.3f s; fleet-mean.awk: %s"
              % (fleet, sum(every) * 60 / len(every), script.splitlines()[-1]))

    def test_the_example_alerts(self):
        deadline = time.monotonic() + WAIT_SECONDS
        expected = {("RebootsMoreThanDaily", n) for n in self.nodes.records
                    if self.nodes.expected[n].lengths and
                    self.nodes.mean_seconds(n) < DAY_SECONDS}
        expected |= {("CrashedBootsSeen", n) for n in self.nodes.records
                     if self.nodes.expected[n].every_crash()}
        # Unreadable for two hours before it fires: pending here.
        pending = {("RebootHistoryUnreadable", UNREADABLE)}
        self.assertTrue(expected, "the nodes must give some alert to check")
        while True:
            url = "http://127.0.0.1:%d/api/v1/alerts" % PROMETHEUS_PORT
            with urllib.request.urlopen(url, timeout=10) as response:
                alerts = json.load(response)["data"]["alerts"]
            firing = {(a["labels"]["alertname"], a["labels"]["node"]) for a in alerts
                      if a["state"] == "firing"}
            waiting = {(a["labels"]["alertname"], a["labels"]["node"]) for a in alerts
                       if a["state"] == "pending"}
            if (firing, waiting) == (expected, pending) or time.monotonic() > deadline:
                break
            time.sleep(0.5)
        self.assertEqual(firing, expected)
        self.assertEqual(waiting, pending)

    def test_promtool_checks_and_tests_the_rules(self):
        for argv in (["check", "rules", "prometheus-alerts.yml"],
                     ["test", "rules", "prometheus-alerts-test.yml"]):
            result = subprocess.run([self.programs["promtool"]] + argv, cwd=CONTRIB,
                                    capture_output=True, text=True, check=False)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_systemd_verifies_the_units(self):
        """Verified where the package would put the collector and the man page,
        with /usr/share overlaid in this private mount namespace."""
        upper = os.path.join(self.dir.name, "overlay")
        for folder in ("upper", "work"):
            os.makedirs(os.path.join(upper, folder))
        subprocess.run(["mount", "-t", "overlay", "overlay", "-o",
                        "lowerdir=/usr/share,upperdir=%s/upper,workdir=%s/work" % (upper, upper),
                        "/usr/share"], check=True)
        try:
            share = "/usr/share/mean-reboot-interval"
            os.makedirs(share, exist_ok=True)
            shutil.copy(os.path.join(SCRIPTS, "prometheus-textfile"), share)
            shutil.copy(os.path.join(CONTRIB, "fleet-mean.awk"), share)
            manpath = os.path.join(self.dir.name, "man")
            os.makedirs(os.path.join(manpath, "man1"))
            shutil.copy(MAN_PAGE, os.path.join(manpath, "man1"))
            units = os.path.join(CONTRIB, "systemd")
            result = subprocess.run(
                ["systemd-analyze", "verify"] + [os.path.join(units, u) for u in sorted(
                    os.listdir(units))],
                env=dict(os.environ, SYSTEMD_UNIT_PATH=units + ":", MANPATH=manpath),
                capture_output=True, text=True, check=False)
            self.assertEqual((result.returncode, result.stdout + result.stderr), (0, ""))
        finally:
            subprocess.run(["umount", "/usr/share"], check=True)


NAGIOS_CONFIG = """log_file=%(dir)s/nagios.log
cfg_file=%(dir)s/objects.cfg
cfg_file=%(dir)s/example.cfg
object_cache_file=%(dir)s/objects.cache
precached_object_file=%(dir)s/objects.precache
status_file=%(dir)s/status.dat
status_update_interval=1
nagios_user=root
nagios_group=root
check_external_commands=0
command_file=%(dir)s/nagios.cmd
lock_file=%(dir)s/nagios.lock
temp_file=%(dir)s/nagios.tmp
temp_path=%(dir)s
check_result_path=%(dir)s/checkresults
retain_state_information=0
state_retention_file=%(dir)s/retention.dat
interval_length=1
max_service_check_spread=1
max_host_check_spread=1
service_inter_check_delay_method=n
host_inter_check_delay_method=n
check_result_reaper_frequency=1
enable_notifications=0
enable_event_handlers=0
execute_host_checks=0
use_syslog=0
log_rotation_method=n
query_socket=%(dir)s/nagios.qh
illegal_macro_output_chars=`~$&|'"<>
"""

NAGIOS_OBJECTS = """define timeperiod {
    timeperiod_name always
    alias           always
    sunday          00:00-24:00
    monday          00:00-24:00
    tuesday         00:00-24:00
    wednesday       00:00-24:00
    thursday        00:00-24:00
    friday          00:00-24:00
    saturday        00:00-24:00
}
define contact {
    contact_name                  nobody
    host_notifications_enabled    0
    service_notifications_enabled 0
    host_notification_period      always
    service_notification_period   always
    host_notification_options     n
    service_notification_options  n
    host_notification_commands    nothing
    service_notification_commands nothing
}
define command {
    command_name nothing
    command_line /bin/true
}
define host {
    host_name             localhost
    address               127.0.0.1
    max_check_attempts    1
    check_period          always
    contacts              nobody
}
define service {
    name                  generic-service
    register              0
    max_check_attempts    1
    check_interval        5
    retry_interval        1
    check_period          always
    contacts              nobody
}
"""


def parse_status(path):
    """The service blocks of Nagios's status.dat, by description."""
    services = {}
    with open(path, encoding="utf-8", errors="replace") as handle:
        text = handle.read()
    for block in re.findall(r"servicestatus \{\n(.*?)\n\s*\}", text, re.S):
        fields = dict(line.strip().split("=", 1) for line in block.splitlines() if "=" in line)
        services[fields["service_description"]] = fields
    return services


class Nagios(unittest.TestCase):
    def test_the_plugin_under_nagios(self):
        programs = debian_programs()
        with tempfile.TemporaryDirectory(prefix="mri-nagios-") as work:
            os.chmod(work, 0o755)
            nodes = Nodes(work)
            os.mkdir(os.path.join(work, "checkresults"))
            # The example definitions as the package ships them, the plugin's
            # path set on this test's copy; one service more per node.
            plugin = os.path.join(SCRIPTS, "check_reboot_interval")
            with open(os.path.join(CONTRIB, "nagios-reboot-interval.cfg"), encoding="ascii") as h:
                example = h.read().replace("/usr/lib/nagios/plugins/check_reboot_interval", plugin)
            with open(os.path.join(work, "example.cfg"), "w", encoding="ascii") as handle:
                handle.write(example)
            objects = NAGIOS_OBJECTS
            for node in nodes.names:
                wrapper = os.path.join(work, "as-" + node)
                with open(wrapper, "w", encoding="ascii") as handle:
                    handle.write('#!/bin/sh\nexec %s "$@"\n'
                                 % shlex.join(nodes.command(node, [plugin])))
                os.chmod(wrapper, 0o755)
                objects += ("define command {\n command_name as_%s\n command_line %s -w 7: -c 1:\n}\n"
                            "define service {\n use generic-service\n host_name localhost\n"
                            " service_description %s\n check_command as_%s\n}\n"
                            % (node, wrapper, node, node))
            with open(os.path.join(work, "objects.cfg"), "w", encoding="ascii") as handle:
                handle.write(objects)
            config = os.path.join(work, "nagios.cfg")
            with open(config, "w", encoding="ascii") as handle:
                handle.write(NAGIOS_CONFIG % {"dir": work})
            checked = subprocess.run([programs["nagios"], "-v", config], capture_output=True,
                                     text=True, check=False)
            self.assertEqual(checked.returncode, 0, checked.stdout)
            # The example service runs on this host: its history is the stable node's.
            environment = dict(os.environ, PATH=nodes.bin + ":" + os.environ["PATH"])
            subprocess.run(["mount", "--bind", nodes.logs[STABLE], "/var/log"], check=True)
            log = open(os.path.join(work, "nagios.out"), "wb")  # pylint: disable=consider-using-with
            server = subprocess.Popen([programs["nagios"], config], env=environment, stdout=log,
                                      stderr=subprocess.STDOUT)
            log.close()
            try:
                services = self.wait_for_checks(os.path.join(work, "status.dat"),
                                                len(nodes.names) + 1)
            finally:
                server.terminate()
                server.wait(timeout=10)
                subprocess.run(["umount", "/var/log"], check=True)
            self.check_services(services, nodes)

    def wait_for_checks(self, status, count):
        deadline = time.monotonic() + WAIT_SECONDS
        while True:
            services = parse_status(status) if os.path.exists(status) else {}
            if len(services) == count and all(s["has_been_checked"] == "1"
                                              for s in services.values()):
                return services
            self.assertLess(time.monotonic(), deadline, services)
            time.sleep(0.5)

    def check_services(self, services, nodes):
        for description, service in sorted(services.items()):
            print("%s: state %s, %s | %s" % (description, service["current_state"],
                                            service["plugin_output"],
                                            service["performance_data"]))
        example = services["Mean time between reboots"]
        self.assertEqual(example["check_command"], "check_reboot_interval!7:!1:")
        for description, node in [("Mean time between reboots", STABLE)] + [
                (n, n) for n in nodes.names]:
            service = services[description]
            with self.subTest(service=description):
                if node == UNREADABLE:
                    self.assertEqual(service["current_state"], "3")
                    self.assertTrue(service["plugin_output"].startswith(
                        "REBOOT INTERVAL UNKNOWN - history unreadable"), service)
                    continue
                expected = nodes.expected[node]
                crashed = expected.every_crash()
                if not expected.lengths:
                    self.assertEqual(service["current_state"], "0")
                    self.assertTrue(service["plugin_output"].startswith(
                        "REBOOT INTERVAL OK - no finished boot yet"), service)
                    continue
                mean = sum(expected.lengths) // len(expected.lengths)
                days = mean / 1440
                state = 2 if days < 1 else 1 if days < 7 else 0
                name = ["OK", "WARNING", "CRITICAL"][state]
                boots_text = "%d boot%s" % (len(expected.lengths),
                                            "" if len(expected.lengths) == 1 else "s")
                output = "REBOOT INTERVAL %s - mean %dd %dh %dm over %s" % (
                    name, mean // 1440, mean % 1440 // 60, mean % 60, boots_text)
                if crashed:
                    output += ", %d crashed boot%s" % (
                        crashed, "" if crashed == 1 else "s")
                self.assertEqual(service["current_state"], str(state))
                self.assertEqual(service["plugin_output"], output)
                self.assertEqual(service["performance_data"],
                                 "mean=%ds;604800:;86400:;0; boots=%d;;;0; crashed=%d;;;0;"
                                 % (mean * 60, len(expected.lengths), crashed))


if __name__ == "__main__":
    for program in ("apt-get", "dpkg-deb", "systemd-analyze", "ip", "awk"):
        if shutil.which(program) is None:
            print("FAIL: %s is missing; tools/install-prerequisites.sh installs it" % program)
            sys.exit(1)
    TOOL, MAKE_WTMP, CONTRIB, SCRIPTS, PACKAGES, MAN_PAGE = (
        os.path.abspath(a) for a in sys.argv[1:7])
    # Fetched before the private network namespace, where the mirror is out of reach.
    debian_programs()
    harness.run_as_root_in_private_namespaces("the monitoring test")
    del sys.argv[1:7]
    harness.bring_up_loopback()
    unittest.main(verbosity=2)
