#!/usr/bin/python3
"""Runs a program under the kernel-enforced restrictions of a systemd service unit, for machines
without a user manager to run the unit itself (containers, CI).

    run_under_unit.py UNIT_FILE PROGRAM [ARGS...]

Reads the unit's [Service] settings and applies, as systemd does, one seccomp filter per setting
(the kernel takes the strictest answer of all filters): SystemCallFilter (allow-list first, then
~deny-lists; groups expanded by systemd-analyze, so they are systemd's own), SystemCallArchitectures
(native only), MemoryDenyWriteExecute, RestrictAddressFamilies, RestrictNamespaces,
LockPersonality, RestrictRealtime, RestrictSUIDSGID; and NoNewPrivileges and UMask. A call the
allow-list lacks kills the process with SIGSYS, as under systemd; the others fail with the errno
systemd uses. Then executes PROGRAM, which passes all of it to its children."""

import errno
import os
import re
import stat
import subprocess
import sys

import seccomp  # Debian: python3-seccomp

CLONE_NEW_FLAGS = (0x00020000 | 0x02000000 | 0x04000000 | 0x08000000 | 0x10000000 |
                   0x20000000 | 0x40000000 | 0x00000080)  # mnt uts ipc user pid net cgroup time
PROT_WRITE, PROT_EXEC = 0x2, 0x4
SHM_EXEC = 0o100000
SCHED_FIFO, SCHED_RR = 1, 2
AF_UNIX = 1
FAMILIES = {"AF_UNIX": 1, "AF_LOCAL": 1, "AF_INET": 2, "AF_INET6": 10, "AF_NETLINK": 16,
            "AF_PACKET": 17}


def service_settings(unit_file):
    settings = []
    section = None
    with open(unit_file, encoding="utf-8") as unit:
        for line in unit:
            line = line.strip()
            if not line or line[0] in "#;":
                continue
            if line.startswith("["):
                section = line
                continue
            if section == "[Service]" and "=" in line:
                key, value = line.split("=", 1)
                settings.append((key.strip(), value.strip()))
    return settings


def expand(names, seen=None):
    """System call names of a list of names and @groups, as systemd-analyze expands them."""
    seen = set() if seen is None else seen
    calls = set()
    for name in names:
        if not name.startswith("@"):
            calls.add(name)
            continue
        if name in seen:
            continue
        seen.add(name)
        listing = subprocess.run(["systemd-analyze", "syscall-filter", name], check=True,
                                 capture_output=True, text=True).stdout
        members = [m.strip() for m in listing.splitlines()[1:]
                   if m.strip() and not m.strip().startswith("#")]
        calls |= expand(members, seen)
    return calls


def add(filter_, action, call, *args):
    try:
        filter_.add_rule(action, call, *args)
    except (RuntimeError, ValueError):
        pass  # a call this architecture does not have (systemd skips those too)


def truthy(value):
    return value.lower() in ("yes", "true", "1", "on")


def main():
    if len(sys.argv) < 3:
        sys.exit("usage: run_under_unit.py UNIT_FILE PROGRAM [ARGS...]")
    unit_file, argv = sys.argv[1], sys.argv[2:]
    settings = service_settings(unit_file)
    filters = []

    # As systemd reads them: the first line decides between an allow-list and a deny-list, and
    # each later line adds to or takes from it in turn.
    allow_list, listed = None, set()
    for key, value in settings:
        if key != "SystemCallFilter":
            continue
        deny = value.startswith("~")
        names = expand(value.lstrip("~").split())
        if allow_list is None:
            allow_list = not deny
        if deny == allow_list:
            listed -= names
        else:
            listed |= names
    native_only = any(k == "SystemCallArchitectures" and v == "native" for k, v in settings)
    if allow_list:
        # Calls outside the allow-list kill the process; calls of other ABIs (i386 on x86-64)
        # meet the default bad-architecture action, which kills too.
        calls = seccomp.SyscallFilter(defaction=seccomp.KILL_PROCESS)
        for call in sorted(listed):
            add(calls, seccomp.ALLOW, call)
        filters.append(calls)
    elif allow_list is not None:
        calls = seccomp.SyscallFilter(defaction=seccomp.ALLOW)
        for call in sorted(listed):
            add(calls, seccomp.KILL_PROCESS, call)
        filters.append(calls)
    if native_only and not filters:
        filters.append(seccomp.SyscallFilter(defaction=seccomp.ALLOW))

    for key, value in settings:
        eperm = seccomp.ERRNO(errno.EPERM)
        if key == "MemoryDenyWriteExecute" and truthy(value):
            f = seccomp.SyscallFilter(defaction=seccomp.ALLOW)
            both = PROT_WRITE | PROT_EXEC
            add(f, eperm, "mmap", seccomp.Arg(2, seccomp.MASKED_EQ, both, both))
            add(f, eperm, "mprotect", seccomp.Arg(2, seccomp.MASKED_EQ, PROT_EXEC, PROT_EXEC))
            add(f, eperm, "pkey_mprotect", seccomp.Arg(2, seccomp.MASKED_EQ, PROT_EXEC, PROT_EXEC))
            add(f, eperm, "shmat", seccomp.Arg(2, seccomp.MASKED_EQ, SHM_EXEC, SHM_EXEC))
            filters.append(f)
        elif key == "RestrictAddressFamilies" and value:
            families = {FAMILIES[name] for name in value.lstrip("~").split()}
            f = seccomp.SyscallFilter(defaction=seccomp.ALLOW)
            no_family = seccomp.ERRNO(errno.EAFNOSUPPORT)
            if value.startswith("~"):
                for family in families:
                    add(f, no_family, "socket", seccomp.Arg(0, seccomp.EQ, family))
            else:
                for family in range(0, 64):
                    if family not in families:
                        add(f, no_family, "socket", seccomp.Arg(0, seccomp.EQ, family))
            filters.append(f)
        elif key == "RestrictNamespaces" and truthy(value):
            f = seccomp.SyscallFilter(defaction=seccomp.ALLOW)
            for call in ("unshare", "clone"):
                arg = 0  # the flags: first argument of both on x86-64
                for flag in range(32):
                    if CLONE_NEW_FLAGS & (1 << flag):
                        add(f, eperm, call,
                            seccomp.Arg(arg, seccomp.MASKED_EQ, 1 << flag, 1 << flag))
            add(f, eperm, "setns")
            # clone3 passes its flags in memory, out of the filter's sight: systemd answers ENOSYS
            # so that the C library falls back to clone.
            add(f, seccomp.ERRNO(errno.ENOSYS), "clone3")
            filters.append(f)
        elif key == "LockPersonality" and truthy(value):
            f = seccomp.SyscallFilter(defaction=seccomp.ALLOW)
            add(f, eperm, "personality", seccomp.Arg(0, seccomp.NE, 0))
            filters.append(f)
        elif key == "RestrictRealtime" and truthy(value):
            f = seccomp.SyscallFilter(defaction=seccomp.ALLOW)
            for policy in (SCHED_FIFO, SCHED_RR):
                add(f, eperm, "sched_setscheduler", seccomp.Arg(1, seccomp.EQ, policy))
            filters.append(f)
        elif key == "RestrictSUIDSGID" and truthy(value):
            f = seccomp.SyscallFilter(defaction=seccomp.ALLOW)
            for bit in (stat.S_ISUID, stat.S_ISGID):
                add(f, eperm, "chmod", seccomp.Arg(1, seccomp.MASKED_EQ, bit, bit))
                add(f, eperm, "fchmod", seccomp.Arg(1, seccomp.MASKED_EQ, bit, bit))
                add(f, eperm, "fchmodat", seccomp.Arg(2, seccomp.MASKED_EQ, bit, bit))
            filters.append(f)
        elif key == "UMask":
            os.umask(int(value, 8))

    # Loading a filter unprivileged needs no-new-privileges, which libseccomp sets; a unit with
    # NoNewPrivileges=yes asks for it anyway. The allow-list goes last, as systemd loads it: it
    # does not allow loading further filters.
    for f in filters[1:] + filters[:1]:
        f.load()
    os.execvp(argv[0], argv)


if __name__ == "__main__":
    main()
