# -*- coding: utf-8 -*-
# Drives kp28setup on a managed PC: applies setup profiles, sends setup files,
# loads firmware, reboots, records USB identifiers and gathers the interface
# list (and, when asked, the identity of a printer in setup mode) as facts.
# The tool decides everything; this module only maps options onto its
# command line and its --json report onto Ansible's results.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: kp28setup
short_description: Set up KP28 and KP28Plus printers through kp28setup
description:
  - Runs C(kp28setup) on the managed host with C(--json --yes) and reports its outcome.
  - C(apply) brings the printer's setup memory to a profile. It reads the NVM first and writes only
    when a value differs, so a second run reports nothing changed. Check mode passes C(--check), so
    the printer is read and nothing more is sent to it. Diff mode shows each changed row with its
    value before and after.
  - C(send), C(load-fw), C(reboot) and C(usb-id) talk to a printer in normal mode, which cannot be
    read back, so they are never idempotent. They report C(changed) whenever the job was done. In
    check mode they send nothing and report C(changed) (a file to send is still checked to exist).
  - C(facts) (the default) returns the interface list as C(ansible_facts.kp28). Nothing is sent to a
    printer unless O(identify) names an entry, see there.
  - A job that fails fails the task with the tool's own message.
  - kp28setup finds its hardware through C(KP28_SYSROOT) like every tool of the set; set it with the
    task's C(environment) keyword to drive the virtual printer C(kp28sim).
version_added: "1.0.0"
options:
  command:
    description:
      - What to do.
    type: str
    choices: [apply, send, load-fw, reboot, usb-id, facts]
    default: facts
  path:
    description:
      - The C(kp28setup) program. Default, C(kp28setup) on the managed host's PATH (or in its
        C(/usr/bin) or C(/usr/local/bin)).
    type: path
  interface:
    description:
      - The entry of the interface list as C(kp28setup interfaces) prints it, for example C(COM1),
        C(USB (CdC)), C(LPT1), C(USB) or C(LAN). Default, the entry the tool selects after its
        refresh.
    type: str
    aliases: [entry]
  model:
    description:
      - The printer type of the menu, as C(--model).
    type: str
    choices: [kp28, kp28plus]
  profile:
    description:
      - For C(apply), a profile file on the managed host (a JSON object as C(kp28setup show --profile)
        writes it).
      - Mutually exclusive with O(profile_content).
    type: path
  profile_content:
    description:
      - For C(apply), the profile itself, as the tool reads it from a file (a dict with
        C(parameters), labels or C(#ROW) numbers with their values, and optionally C(leave), labels
        to leave alone). The module writes it to a private temporary file that is removed afterwards.
    type: dict
  modules:
    description:
      - For C(apply), a stored parameter description (a C(modules.txt)) to use instead of the one the
        printer sends.
    type: path
  save:
    description:
      - For C(apply), the setup file that a write is saved to (C(--save)), on the managed host.
    type: path
  src:
    description:
      - For C(send), the setup file; for C(load-fw), the firmware image. A path on the managed host.
    type: path
  ip:
    description:
      - For C(send) and C(load-fw) over C(LAN), the printer's C(ADDR[:PORT]) (the IP address box).
    type: str
  usb_id:
    description:
      - For C(usb-id), the identifier to record (at most 32 characters).
    type: str
  identify:
    description:
      - For C(facts), an entry (such as C(COM1)) whose printer is identified by C(kp28setup read).
        A printer in setup mode (switched on with ON_LINE held) goes through a read of its NVM and
        its parameter description; nothing is written to it and it stays in setup mode. A printer in
        normal mode gives its name and firmware version only (C(setup_mode) false, no C(nvm)). A
        printer that does not answer fails the task.
      - Without it, the facts hold only what the host knows (the interface list and the USB
        printers' nodes); no printer is spoken to.
    type: str
  chdir:
    description:
      - The working directory of C(kp28setup), where C(modules.txt) is stored and, for C(apply),
        looked for. Default, a private temporary directory removed afterwards, so that no stale
        C(modules.txt) decides and none is left behind.
    type: path
notes:
  - Every wait of C(kp28setup) is bounded, so a task never hangs on a silent printer; the task's
    C(timeout) keyword can bound it further.
  - A printer in normal mode cannot be read back, so C(send), C(load-fw), C(reboot) and C(usb-id)
    report C(changed) on every run that did the job.
  - Installed with the C(kp28-tools) package in C(/usr/share/ansible/plugins/modules), where Ansible
    looks for modules without configuration.
author:
  - KP28 tools developers
"""

EXAMPLES = r"""
- name: Bring the printer on COM1 to the bench profile
  kp28setup:
    command: apply
    interface: COM1
    profile_content:
      parameters:
        Emulation: "KP28"
        "#12": "3"

- name: Send the setup file to the printer on the network
  kp28setup:
    command: send
    interface: LAN
    ip: 192.0.2.15
    src: /srv/kp28/branch.dmp

- name: What the PC offers, and the printer on COM1 (in setup mode)
  kp28setup:
    identify: COM1

- name: Try the tools against the virtual printer
  kp28setup:
    command: facts
  environment:
    KP28_SYSROOT: /tmp/kp28
"""

RETURN = r"""
report:
  description: The object kp28setup printed (C(--json)).
  returned: when the tool printed one
  type: dict
changes:
  description: For C(apply), the rows changed (or, in check mode, that would be), each C({label, row, from, to}).
  returned: apply
  type: list
  elements: dict
verified:
  description: For C(apply), whether the NVM read back after the write matched what was sent.
  returned: apply
  type: bool
ansible_facts:
  description: For C(facts), C(kp28) with C(interfaces) (as C(kp28setup interfaces --json) prints them)
    and, with O(identify), C(printer) (C(entry), C(setup_mode), C(printer), C(model), C(plus_model),
    C(nvm), C(parameters)).
  returned: facts
  type: dict
rc:
  description: The exit status of kp28setup (0 done, 1 failed, 2 usage or refused).
  returned: when the tool ran
  type: int
"""

import json
import os
import shutil
import tempfile

from ansible.module_utils.basic import AnsibleModule

# Options that belong to one command each; given to another they are
# refused rather than silently ignored.
COMMAND_OPTIONS = {
    "profile": ["apply"],
    "profile_content": ["apply"],
    "modules": ["apply"],
    "save": ["apply"],
    "src": ["send", "load-fw"],
    "ip": ["send", "load-fw"],
    "usb_id": ["usb-id"],
    "identify": ["facts"],
}
# The commands of a printer in normal mode: nothing can be read back.
BLIND_COMMANDS = ("send", "load-fw", "reboot", "usb-id")


def parse_report(stdout):
    """The tool's JSON object, or None when it printed none (a usage error)."""
    text = stdout.strip()
    if not text:
        return None
    try:
        report = json.loads(text)
    except ValueError:
        return None
    return report if isinstance(report, dict) else None


def failure_message(report, stderr, rc):
    """The tool's own reason: its error, else its messages, else standard error."""
    if report:
        if report.get("error"):
            return str(report["error"])
        refused = report.get("refused") or []
        if refused:
            return "; ".join(str(r) for r in refused)
        messages = [m for m in report.get("messages") or [] if isinstance(m, dict)]
        # Prompts and information boxes ("SETUP EXECUTED") do not say why a
        # job failed; warnings and errors do.
        warnings = [m for m in messages if m.get("icon") in ("critical", "exclamation")]
        if warnings:
            return "; ".join(box_text(m) for m in warnings)
        if report.get("printed"):
            return "; ".join(str(p) for p in report["printed"])
        # The updater's report window holds its reason on its last lines.
        window = report.get("report")
        if isinstance(window, dict) and window.get("lines"):
            return "%s: %s" % (window.get("caption", ""), "; ".join(window["lines"][-3:]))
        if messages:
            return "; ".join(box_text(m) for m in messages)
        if report.get("last_comm_error"):
            return str(report["last_comm_error"])
    lines = [l for l in stderr.splitlines() if l.strip()]
    if lines:
        return "\n".join(lines[-5:])
    return "kp28setup ended with exit status %d and no message" % rc


def box_text(message):
    title = str(message.get("title") or "").strip()
    text = str(message.get("text") or "")
    return "%s: %s" % (title, text) if title else text


def change_diff(changes):
    """Before and after of each changed row, one line a row, for --diff."""
    before, after = [], []
    for c in changes:
        name = c.get("label") or "#%s" % c.get("row")
        if c.get("row") is not None and c.get("label"):
            name = "%s (#%s)" % (c["label"], c["row"])
        before.append("%s: %s\n" % (name, c.get("from")))
        after.append("%s: %s\n" % (name, c.get("to")))
    return {"before": "".join(before), "after": "".join(after),
            "before_header": "printer NVM", "after_header": "printer NVM (profile applied)"}


class Runner:
    """Runs kp28setup in its working directory and keeps what it said."""

    def __init__(self, module, tool, workdir):
        self.module = module
        self.tool = tool
        self.workdir = workdir

    def run(self, args):
        # Printer texts are single-byte; a byte that is not UTF-8 must not
        # cost the report.
        rc, out, err = self.module.run_command([self.tool] + args, cwd=self.workdir,
                                               errors="surrogate_then_replace")
        return rc, out, err, parse_report(out)

    def fail(self, rc, out, err, report, **extra):
        result = dict(extra, msg=failure_message(report, err, rc), rc=rc, stderr=err)
        if report is not None:
            result["report"] = report
        else:
            result["stdout"] = out
        self.module.fail_json(**result)


def common_args(params):
    args = []
    if params["interface"]:
        args += ["-i", params["interface"]]
    if params["model"]:
        args += ["--model", params["model"]]
    return args


def write_profile(module, content, folder):
    """The inline profile as a file only this user can read."""
    path = os.path.join(folder, "profile.json")
    try:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        with os.fdopen(fd, "w") as f:
            json.dump(content, f, ensure_ascii=False, indent=2)
    except (OSError, TypeError, ValueError) as e:
        module.fail_json(msg="cannot write the profile to %s: %s" % (path, e))
    return path


def do_apply(module, runner, scratch):
    p = module.params
    if p["profile"]:
        if not os.path.isfile(p["profile"]):
            module.fail_json(msg="no profile file %s on this host" % p["profile"])
        profile = p["profile"]
    else:
        profile = write_profile(module, p["profile_content"], scratch)
    args = ["apply", profile] + common_args(p) + ["--json", "--yes"]
    if p["modules"]:
        args += ["--modules", p["modules"]]
    if p["save"]:
        args += ["--save", p["save"]]
    if module.check_mode:
        args.append("--check")
    rc, out, err, report = runner.run(args)
    changes = (report or {}).get("changes") or []
    result = dict(rc=rc, changes=changes)
    if report is not None:
        result["verified"] = bool(report.get("verified", False))
    if module._diff and changes:
        result["diff"] = change_diff(changes)
    # A write that failed half-way may still have changed the printer: the
    # tool's own answer counts, also on failure.
    changed = bool((report or {}).get("changed", False))
    if rc != 0 or report is None or not report.get("ok", False):
        runner.fail(rc, out, err, report, changed=changed, **result)
    module.exit_json(changed=changed, report=report, **result)


def do_blind(module, runner):
    p = module.params
    command = p["command"]
    args = [command]
    if command in ("send", "load-fw"):
        if not p["src"]:
            module.fail_json(msg="%s needs src: the file to send" % command)
        if not os.path.isfile(p["src"]):
            module.fail_json(msg="no file %s on this host" % p["src"])
        args.append(p["src"])
        if p["ip"]:
            args += ["--ip", p["ip"]]
    if command == "usb-id":
        if p["usb_id"] is None:
            module.fail_json(msg="usb-id needs usb_id: the identifier to record")
        args.append(p["usb_id"])
    args += common_args(p) + ["--json", "--yes"]
    if module.check_mode:
        # The printer cannot be read back, so there is nothing to compare:
        # the job would be done.
        module.exit_json(changed=True, msg="check mode: %s not run" % command,
                         cmd=[runner.tool] + args)
    rc, out, err, report = runner.run(args)
    if rc != 0 or report is None or not report.get("ok", False):
        runner.fail(rc, out, err, report, changed=False)
    module.exit_json(changed=True, rc=rc, report=report)


def do_facts(module, runner):
    p = module.params
    rc, out, err, report = runner.run(["interfaces", "--json"])
    if rc != 0 or report is None or "interfaces" not in report:
        runner.fail(rc, out, err, report)
    facts = {"interfaces": report["interfaces"]}
    if p["identify"]:
        # A read only: "n", "r" and "m" go to the printer, nothing is
        # written to it, and it stays in setup mode.
        args = ["read", "-i", p["identify"]]
        if p["model"]:
            args += ["--model", p["model"]]
        rc, out, err, read = runner.run(args + ["--yes", "--json"])
        setup_mode = rc == 0 and read is not None and read.get("ok", False)
        # A printer in normal mode answers the read with its name and
        # firmware only; the window then offers "Send  Setup". That is an
        # identification too, not a failure of the facts.
        normal_mode = (read is not None and not setup_mode and
                       (read.get("commands") or {}).get("Send  Setup", False) and
                       str(read.get("printer") or "").split(":", 1)[-1].strip() != "")
        if not (setup_mode or normal_mode):
            runner.fail(rc, out, err, read)
        facts["printer"] = {
            "entry": p["identify"],
            "setup_mode": bool(setup_mode),
            "printer": read.get("printer"),
            "model": read.get("model"),
            "plus_model": read.get("plus_model"),
            "nvm": read.get("nvm") if setup_mode else None,
            "parameters": read.get("parameters", []) if setup_mode else [],
        }
    module.exit_json(changed=False, ansible_facts={"kp28": facts})


def main():
    module = AnsibleModule(
        argument_spec=dict(
            command=dict(type="str", default="facts",
                         choices=["apply", "send", "load-fw", "reboot", "usb-id", "facts"]),
            path=dict(type="path"),
            interface=dict(type="str", aliases=["entry"]),
            model=dict(type="str", choices=["kp28", "kp28plus"]),
            profile=dict(type="path"),
            profile_content=dict(type="dict"),
            modules=dict(type="path"),
            save=dict(type="path"),
            src=dict(type="path"),
            ip=dict(type="str"),
            usb_id=dict(type="str"),
            identify=dict(type="str"),
            chdir=dict(type="path"),
        ),
        mutually_exclusive=[["profile", "profile_content"]],
        required_if=[["command", "apply", ["profile", "profile_content"], True]],
        supports_check_mode=True,
    )
    p = module.params
    # kp28setup runs in another folder: a relative path means one from here.
    for option in ("path", "profile", "modules", "save", "src", "chdir"):
        if p[option]:
            p[option] = os.path.abspath(p[option])
    for option, commands in COMMAND_OPTIONS.items():
        if p[option] is not None and p["command"] not in commands:
            module.fail_json(msg="%s is an option of %s, not of %s" %
                             (option, " and ".join(commands), p["command"]))

    tool = p["path"] or module.get_bin_path("kp28setup", opt_dirs=["/usr/local/bin"])
    if not tool:
        module.fail_json(msg="kp28setup is not on this host's PATH; install the kp28-tools "
                             "package or name the program with path")
    if not (os.path.isfile(tool) and os.access(tool, os.X_OK)):
        module.fail_json(msg="%s is not a program this user can run" % tool)

    # Each run has its own folder: the inline profile and, unless chdir names
    # one, the working directory where the read stores modules.txt.
    scratch = tempfile.mkdtemp(prefix="kp28setup-", dir=module.tmpdir)
    try:
        workdir = p["chdir"] or scratch
        if not os.path.isdir(workdir):
            module.fail_json(msg="chdir %s is not a folder on this host" % workdir)
        runner = Runner(module, tool, workdir)
        if p["command"] == "apply":
            do_apply(module, runner, scratch)
        elif p["command"] in BLIND_COMMANDS:
            do_blind(module, runner)
        else:
            do_facts(module, runner)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
