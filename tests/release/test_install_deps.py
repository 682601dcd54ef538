"""scripts/install-deps's decisions, with apt-get, dpkg, dpkg-query and id stubbed on PATH (no network, no root),
on Debian 12 and 13: a mount namespace of the test's own shows the script a made-up /etc/os-release."""

import os
import subprocess
from pathlib import Path

import pytest

STALE = "http://deb.debian.org/debian-security/dists/%s-security/main/binary-i386/Packages.xz"
MID_SYNC = (100, "E: Failed to fetch %s  File has unexpected size (374820 != 376004). Mirror sync in progress?\n"
                 "E: Some index files failed to download. They have been ignored, or old ones used instead.\n" % STALE)
UNRESOLVABLE, OK = (100, "E: Unable to correct problems, you have held broken packages.\n"), (0, "")
LOCKED = (100, "E: Could not get lock /var/lib/apt/lists/lock. It is held by process 4242 (apt-get)\n")
NOT_FOUND = (100, "E: Unable to locate package wixl\n")
STUBS = {  # apt-get answers its n-th call with answer<n>: exit status, then the text on stderr
    "apt-get": 'n=$(cat calls 2>/dev/null | wc -l); echo "$*" >>calls; read -r s <answer$n; tail -n +2 answer$n >&2; '
               'exit $s',
    "dpkg": '[ "$1" = --print-foreign-architectures ] && echo i386; true',
    "dpkg-query": '[ -e installed ] && printf "install ok installed"; true',
    "id": "echo 0"}


@pytest.mark.parametrize("release", ["12 bookworm", "13 trixie"])
@pytest.mark.parametrize("answers, status, said", [
    (None, 0, ""),  # every package there: apt is never asked
    ([MID_SYNC, OK], 0, "did not update; going on with the others: %s\n" % STALE),
    ([MID_SYNC, UNRESOLVABLE, OK], 0, "installing again with %s preferred, so its security updates"),
    ([LOCKED], 100, LOCKED[1]), ([MID_SYNC, NOT_FOUND], 100, NOT_FOUND[1]),
    ([OK, UNRESOLVABLE, NOT_FOUND], 100, NOT_FOUND[1]),
], ids=["all-there", "index-stale", "release-preferred", "locked", "not-found", "release-preferred-fails"])
def test_install_deps_goes_on_past_a_stale_index_and_stops_at_any_other_failure(tmp_path, release, answers, status,
                                                                              said):
    version, codename = release.split()
    answers = [(code, text.replace("%s", codename)) for code, text in answers or []] or None
    said = said.replace("%s", codename)
    (tmp_path / "os-release").write_text('PRETTY_NAME="Debian GNU/Linux %s (%s)"\nVERSION_ID="%s"\n'
                                         'VERSION_CODENAME=%s\nID=debian\n' % (version, codename, version, codename))
    for name, body in STUBS.items():
        (tmp_path / name).write_text("#!/bin/sh\n" + body + "\n")
        (tmp_path / name).chmod(0o755)
    if answers is None:
        (tmp_path / "installed").touch()
    for n, (code, text) in enumerate(answers or []):
        (tmp_path / ("answer%d" % n)).write_text("%d\n%s" % (code, text))
    script = str(Path(__file__).resolve().parents[2] / "scripts" / "install-deps")
    result = subprocess.run(["unshare", "--user", "--map-root-user", "--mount", "--propagation", "private", "sh", "-c",
                             'mount --bind os-release /etc/os-release && exec "$0"', script], cwd=tmp_path,
                            env=dict(os.environ, PATH="%s:%s" % (tmp_path, os.environ["PATH"])),
                            capture_output=True, text=True, timeout=30)
    calls = (tmp_path / "calls").read_text().splitlines() if answers else []
    assert (result.returncode, len(calls)) == (status, len(answers or [])), result.stderr
    assert said in (result.stdout if status == 0 else result.stderr)
    assert all(call.startswith("install -y ") and " wine32:i386 " in call for call in calls[1:])
    assert ["-t %s" % codename in call for call in calls[1:]] == [False, True][:len(calls[1:])]
