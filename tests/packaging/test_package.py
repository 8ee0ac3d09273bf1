"""The Debian package: built from the build folder with cpack, it holds the program, its
own files, the manual and the service units, declares what it needs, passes lintian
without errors, and its manual names every option --help does."""

import os
import re
import shutil
import subprocess
import tempfile
import unittest

BUILD = os.environ["ZORANTH_BUILD_DIR"]
SOURCE = os.environ["ZORANTH_SOURCE_DIR"]
HOST = os.environ["ZORANTH_HOST_EXE"]


def run(*command, **options):
    return subprocess.run(command, check=True, capture_output=True, text=True, **options).stdout


class DebianPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="zoranth-package-")
        run("cpack", "-G", "DEB", "-B", cls.folder, "--config",
            os.path.join(BUILD, "CPackConfig.cmake"))
        packages = [name for name in os.listdir(cls.folder) if name.endswith(".deb")]
        assert len(packages) == 1, packages
        cls.package = os.path.join(cls.folder, packages[0])
        cls.name = packages[0]

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, ignore_errors=True)

    def field(self, name):
        return run("dpkg-deb", "-f", self.package, name).strip()

    def test_is_named_and_described_as_debian_expects(self):
        self.assertRegex(self.name, r"^zoranth-host_\d+\.\d+\.\d+_amd64\.deb$")
        self.assertEqual(self.field("Package"), "zoranth-host")
        self.assertEqual(self.field("Architecture"), "amd64")
        self.assertEqual(self.field("Section"), "sound")
        depends = self.field("Depends")
        # From the libraries the program links, found by dpkg-shlibdeps, and what the
        # receiver and the window load at run time.
        for library in ("libpulse0", "libopus0", "libavahi-client3", "libqt6quick6",
                        "libsndfile1", "libsystemd0", "python3", "qml6-module-qtquick"):
            self.assertIn(library, depends)
        self.assertIn("avahi-daemon", self.field("Recommends"))
        info = run("dpkg-deb", "-I", self.package)
        for control in ("conffiles", "postinst", "prerm", "postrm", "md5sums"):
            self.assertIn(control, info)

    def test_holds_the_program_its_files_the_manual_and_the_units(self):
        listing = run("dpkg-deb", "-c", self.package)
        paths = {line.split()[-1].lstrip(".") for line in listing.splitlines()}
        for path in ("/usr/bin/zoranth-host",
                     "/usr/share/zoranth/Tools/recv.py",
                     "/usr/share/zoranth/Tools/zoranth_wire.py",
                     "/usr/share/zoranth/Tools/beat-helper/beat_helper.py",
                     "/usr/share/applications/com.zoranth.host.desktop",
                     "/usr/share/icons/hicolor/scalable/apps/com.zoranth.host.svg",
                     "/usr/share/icons/hicolor/256x256/apps/com.zoranth.host.png",
                     "/usr/share/man/man1/zoranth-host.1.gz",
                     "/usr/lib/systemd/system/zoranth-host.service",
                     "/usr/lib/systemd/user/zoranth-host.service",
                     "/usr/lib/sysusers.d/zoranth-host.conf",
                     "/etc/default/zoranth-host",
                     "/usr/share/doc/zoranth-host/copyright",
                     "/usr/share/doc/zoranth-host/changelog.gz"):
            self.assertIn(path, paths)
        # Nothing from the source tree or the tests: no simulator sources, no caches.
        self.assertFalse([p for p in paths if "guestsim" in p or "__pycache__" in p])
        with tempfile.TemporaryDirectory() as control:
            run("dpkg-deb", "-e", self.package, control)
            with open(os.path.join(control, "conffiles")) as conffiles:
                self.assertEqual(conffiles.read().split(), ["/etc/default/zoranth-host"])

    def test_lintian_finds_no_error(self):
        report = subprocess.run(["lintian", "--no-tag-display-limit", self.package],
                                capture_output=True, text=True)
        errors = [line for line in report.stdout.splitlines() if line.startswith("E:")]
        self.assertEqual(errors, [], report.stdout)
        for line in report.stdout.splitlines():
            print(line)


class Manual(unittest.TestCase):
    def test_names_every_option_the_usage_names_and_no_other(self):
        usage = subprocess.run([HOST, "--help"], capture_output=True, text=True).stdout
        with open(os.path.join(SOURCE, "packaging/zoranth-host.1")) as page:
            manual = page.read().replace("\\-", "-")
        # The options are the synopsis and the modes; the service section names systemctl's.
        manual = manual[:manual.index(".SH SERVICE")]
        named = lambda text: set(re.findall(r"--[a-z][a-z-]*", text))
        missing = named(usage) - named(manual)
        self.assertEqual(missing, set(), "options --help names that the manual lacks")
        # The manual may say more than the usage (--beats, --help), but every option it
        # names is one the program takes.
        taken = set()
        for parser in ("src/cli/options.cpp", "src/cli/command_line_entry.cpp"):
            with open(os.path.join(SOURCE, parser)) as source:
                taken |= set(re.findall(r'"(--[a-z][a-z-]*)"', source.read()))
        self.assertEqual(named(manual) - taken, set(), "options the program does not take")


class ServiceUnits(unittest.TestCase):
    def test_both_units_pass_systemd_analyze(self):
        if shutil.which("systemd-analyze") is None:
            self.skipTest("systemd-analyze is not installed")
        with tempfile.TemporaryDirectory() as scratch:
            runtime = os.path.join(scratch, "runtime")
            manuals = os.path.join(scratch, "man", "man1")
            os.makedirs(runtime, mode=0o700)
            os.makedirs(manuals)
            shutil.copy(os.path.join(SOURCE, "packaging/zoranth-host.1"), manuals)
            # The units name the installed program; here it is the one just built.
            environment = dict(os.environ, XDG_RUNTIME_DIR=runtime,
                               MANPATH=os.path.join(scratch, "man"))
            for scope in ("system", "user"):
                with open(os.path.join(SOURCE, "packaging/systemd", scope,
                                       "zoranth-host.service")) as source:
                    text = source.read()
                self.assertIn("ExecStart=/usr/bin/zoranth-host --serve", text)
                unit = os.path.join(scratch, scope, "zoranth-host.service")
                os.makedirs(os.path.dirname(unit))
                with open(unit, "w") as copy:
                    copy.write(text.replace("/usr/bin/zoranth-host", HOST))
                result = subprocess.run(["systemd-analyze", "--" + scope, "verify", unit],
                                        capture_output=True, text=True, env=environment)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertNotIn("zoranth-host.service", result.stderr)


if __name__ == "__main__":
    unittest.main()
