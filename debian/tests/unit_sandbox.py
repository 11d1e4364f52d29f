"""capecho.service's sandbox applied to a process where systemd cannot run
the unit: its user, CapabilityBoundingSet=, NoNewPrivileges=,
SystemCallFilter= (groups expanded by systemd-analyze), SystemCallArchitectures=
native, RestrictAddressFamilies= and MemoryDenyWriteExecute=, read from the
unit file itself. A call the filter refuses kills the process, where the unit
returns SystemCallErrorNumber=, so a refusal the server would survive is not
missed. Mounts and namespaces (ProtectSystem=, PrivateDevices=, ...) are not
reproduced."""
import ctypes
import mmap
import os
import re
import socket
import subprocess

import seccomp

PR_CAPBSET_DROP = 24
PR_SET_NO_NEW_PRIVS = 38
SHM_EXEC = 0o100000
FAMILIES = {"AF_UNIX": socket.AF_UNIX, "AF_INET": socket.AF_INET, "AF_INET6": socket.AF_INET6}
AF_MAX = 46


def read_unit(path):
    """The [Service] settings, each a list of its values in order."""
    settings = {}
    section = None
    with open(path) as unit:
        for line in unit:
            line = line.strip()
            if line.startswith("["):
                section = line
            elif section == "[Service]" and "=" in line and not line.startswith("#"):
                key, value = line.split("=", 1)
                settings.setdefault(key, []).append(value)
    return settings


def exposure(report):
    """The overall exposure systemd-analyze security reports."""
    found = re.search(r"Overall exposure level for \S+: ([0-9.]+)", report)
    if not found:
        raise ValueError(f"no exposure level in: {report}")
    return float(found.group(1))


def syscall_groups():
    groups, current = {}, None
    listing = subprocess.run(["systemd-analyze", "syscall-filter", "--no-pager"],
                             capture_output=True, text=True, check=True).stdout
    for line in listing.splitlines():
        if line.startswith("@"):
            current = groups.setdefault(line.strip(), [])
        elif current is not None and line.strip() and not line.strip().startswith("#"):
            current.append(line.strip())
    return groups


def expand(names, groups):
    calls = set()
    for name in names:
        calls |= expand(groups[name], groups) if name.startswith("@") else {name}
    return calls


def allowed_calls(unit):
    """SystemCallFilter= as systemd reads it: the first allow list, then each
    ~list taken away."""
    groups = syscall_groups()
    allowed = None
    for value in unit.get("SystemCallFilter", []):
        deny = value.startswith("~")
        calls = expand(value.lstrip("~").split(), groups)
        if deny:
            allowed = (allowed if allowed is not None else set()) - calls
        else:
            allowed = calls if allowed is None else allowed | calls
    if not allowed:
        raise ValueError("the unit has no SystemCallFilter= allow list")
    return allowed


def user_ids(root, name):
    with open(f"{root}/etc/passwd") as passwd:
        for line in passwd:
            fields = line.split(":")
            if fields[0] == name:
                return int(fields[2]), int(fields[3])
    raise ValueError(f"no user {name} in {root}/etc/passwd")


class Confinement:
    def __init__(self, unit, root):
        if unit.get("CapabilityBoundingSet") != [""] or unit.get("NoNewPrivileges") != ["yes"]:
            raise ValueError("the unit no longer drops every capability with NoNewPrivileges=")
        self.uid, self.gid = user_ids(root, unit["User"][-1])
        self.calls = allowed_calls(unit)
        self.families = [FAMILIES[f] for f in unit["RestrictAddressFamilies"][-1].split()]
        self.no_write_execute = unit.get("MemoryDenyWriteExecute") == ["yes"]
        self.filter = self._filter()  # built before the fork: no allocation after it
        self.allowed = len(self.calls)

    def _filter(self):
        rules = seccomp.SyscallFilter(defaction=seccomp.KILL_PROCESS)
        guarded = {"socket"}
        if self.no_write_execute:
            guarded |= {"mmap", "mprotect", "pkey_mprotect", "shmat"}
        for call in sorted(self.calls - guarded):
            try:
                rules.add_rule(seccomp.ALLOW, call)
            except (RuntimeError, ValueError):
                pass  # no such call on this architecture
        # RestrictAddressFamilies=: other families fail as they do under systemd.
        for family in range(AF_MAX):
            action = seccomp.ALLOW if family in self.families else seccomp.ERRNO(97)  # EAFNOSUPPORT
            rules.add_rule(action, "socket", seccomp.Arg(0, seccomp.EQ, family))
        if self.no_write_execute:
            write_exec = mmap.PROT_WRITE | mmap.PROT_EXEC
            for prot in (0, mmap.PROT_WRITE, mmap.PROT_EXEC):
                rules.add_rule(seccomp.ALLOW, "mmap", seccomp.Arg(2, seccomp.MASKED_EQ, write_exec, prot))
            for call in ("mprotect", "pkey_mprotect"):
                rules.add_rule(seccomp.ALLOW, call,
                               seccomp.Arg(2, seccomp.MASKED_EQ, mmap.PROT_EXEC, 0))
            rules.add_rule(seccomp.ALLOW, "shmat", seccomp.Arg(2, seccomp.MASKED_EQ, SHM_EXEC, 0))
        return rules

    def apply(self):
        """In the child, before exec: the unit's user with no capability left."""
        libc = ctypes.CDLL(None, use_errno=True)
        cap = 0
        while libc.prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) == 0:
            cap += 1
        os.setgroups([])
        os.setgid(self.gid)
        os.setuid(self.uid)
        if libc.prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0:
            raise OSError(ctypes.get_errno(), "prctl PR_SET_NO_NEW_PRIVS")
        self.filter.load()


def confinement(unit, root):
    return Confinement(unit, root)
