"""scripts/install-deps's decisions, with apt-get, dpkg, dpkg-query and id stubbed on PATH: no network, no root."""

import os
import subprocess
from pathlib import Path

import pytest

SCRIPT = Path(__file__).resolve().parents[2] / "scripts" / "install-deps"
STALE_INDEX = "http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz"
MID_SYNC = (100, "E: Failed to fetch %s  File has unexpected size (374820 != 376004). Mirror sync in progress?\n"
                 "E: Some index files failed to download. They have been ignored, or old ones used instead.\n"
            % STALE_INDEX)
UNRESOLVABLE = (100, "E: Unable to correct problems, you have held broken packages.\n")
LOCKED = (100, "E: Could not get lock /var/lib/apt/lists/lock. It is held by process 4242 (apt-get)\n")
NOT_FOUND = (100, "E: Unable to locate package wixl\n")
CODENAME = dict(line.rstrip().split("=", 1) for line in open("/etc/os-release") if "=" in line)["VERSION_CODENAME"]
STUBS = {
    # apt-get answers its n-th call with answer<n>: the text on stderr and the exit status.
    "apt-get": 'n=$(cat "$STUBS/calls" 2>/dev/null | wc -l); echo "$*" >>"$STUBS/calls"\n'
               'cat "$STUBS/answer$n.text" >&2; exit "$(cat "$STUBS/answer$n.status")"',
    "dpkg": '[ "$1" = --print-foreign-architectures ] && echo i386; true',
    "dpkg-query": '[ -e "$STUBS/installed" ] && printf "install ok installed"; true',
    "id": "echo 0",
}


def install_deps(stubs, installed=False, answers=()):
    """Runs the script on the stubs; returns its result and apt-get's calls, one argument line each."""
    for name, body in STUBS.items():
        (stubs / name).write_text("#!/bin/sh\n" + body + "\n")
        (stubs / name).chmod(0o755)
    if installed:
        (stubs / "installed").touch()
    for n, (status, text) in enumerate(answers):
        (stubs / ("answer%d.status" % n)).write_text(str(status))
        (stubs / ("answer%d.text" % n)).write_text(text)
    env = dict(os.environ, STUBS=str(stubs), PATH="%s:%s" % (stubs, os.environ["PATH"]))
    result = subprocess.run([str(SCRIPT)], env=env, capture_output=True, text=True, timeout=30)
    calls = (stubs / "calls").read_text().splitlines() if (stubs / "calls").exists() else []
    return result, calls


def test_nothing_is_asked_of_apt_when_every_package_is_there(tmp_path):
    result, calls = install_deps(tmp_path, installed=True)
    assert (result.returncode, calls) == (0, [])


@pytest.mark.parametrize("install", [[(0, "")], [UNRESOLVABLE, (0, "")]], ids=["resolves", "release-preferred"])
def test_an_index_that_did_not_update_is_named_and_the_install_goes_on(tmp_path, install):
    result, calls = install_deps(tmp_path, answers=[MID_SYNC, *install])
    assert result.returncode == 0, result.stderr
    assert calls[0].startswith("update") and len(calls) == 1 + len(install)
    assert "did not update; going on with the others: %s\n" % STALE_INDEX in result.stdout
    assert all(" wine32:i386 " in call and call.startswith("install -y ") for call in calls[1:])
    assert "-t" not in calls[1].split()
    if len(install) == 2:
        assert " -t %s " % CODENAME in calls[2] + " "
        assert "installing again with %s preferred, so its security updates of them are not taken" % CODENAME \
            in result.stdout


@pytest.mark.parametrize("answers", [[LOCKED], [MID_SYNC, NOT_FOUND], [(0, ""), UNRESOLVABLE, NOT_FOUND]],
                         ids=["update-locked", "package-not-found", "release-preferred-fails"])
def test_any_other_failure_ends_the_script_with_apts_own_message(tmp_path, answers):
    result, calls = install_deps(tmp_path, answers=answers)
    assert result.returncode == 100
    assert len(calls) == len(answers)
    assert result.stderr.endswith(answers[-1][1])
