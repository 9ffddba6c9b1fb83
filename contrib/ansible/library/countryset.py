#!/usr/bin/python3
# Sets the country of installation of the modems on a managed host by running countryset there.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: countryset
short_description: Set a modem's country of installation (AT+GCI=)
description:
  - Runs C(countryset --country NAME --json) on the managed host and reports, per port, what
    the modem held before, what it holds after and how the run ended.
  - A modem that already holds the country is left alone and reported as not changed, so the
    task can run again and again (some modems forget their country at power-off).
  - In check mode the program runs with C(--check), reads the modem's country and changes
    nothing; the task reports changed when the modem does not hold the country.
  - The task fails, with each failed port's reason, when any port did not end with its modem
    holding the country.
options:
  country:
    description:
      - The country, as C(countryset --country) takes it, from the countries its settings file
        offers (C(countryset --list-countries) lists them).
    type: str
    required: true
  port:
    description:
      - The port (C(COM1) to C(COM8), mapped to devices in the settings file's [Ports]
        section), or a list of them, set in parallel.
      - Without it, the port stored by the last run.
    type: list
    elements: str
  executable:
    description:
      - The program to run; a name is looked up on the PATH of the managed host.
    type: str
    default: countryset
  verify:
    description:
      - Ask the modem, after its OK, which country it holds (C(AT+GCI?)). Set to false for a
        modem known to misbehave on the question (C(--no-verify)).
    type: bool
    default: true
notes:
  - Supports check mode.
  - The program usually needs to run as root, or as a member of the group owning the serial
    devices (C(become)).
requirements:
  - countryset on the managed host
author:
  - countryset developers
"""

EXAMPLES = r"""
- name: Every fax modem set to France
  countryset:
    country: France
    port: [COM1, COM2]
  become: true

- name: A modem that answers AT+GCI? wrongly
  countryset:
    country: Germany
    port: COM3
    verify: false
    executable: /opt/countryset/countryset
"""

RETURN = r"""
changed:
  description: Whether any modem was sent the country (in check mode, would be).
  returned: always
  type: bool
outcome:
  description: How the run on the only port ended (one port only).
  returned: when one port was set
  type: str
  sample: set_verified
code_before:
  description: The code the modem held before, two hex digits (one port only).
  returned: when one port was set and the modem reported it
  type: str
  sample: B5
code_after:
  description: The code the modem holds after, two hex digits (one port only).
  returned: when one port was set and the modem reported it
  type: str
  sample: 3D
ports:
  description: One entry per port, in the program's order.
  returned: always
  type: list
  elements: dict
  contains:
    port:
      description: The port name.
      type: str
      sample: COM1
    device:
      description: The device the port opens.
      type: str
      sample: /dev/ttyUSB0
    outcome:
      description:
        - How the run ended, one of cancelled, port_not_usable, watcher_not_started,
          no_modem, no_answer, refused, holds_other, set_verified, set_not_reported,
          set_not_checked, already_set, would_change.
      type: str
    changed:
      description: Whether this modem was sent the country (in check mode, would be).
      type: bool
    code_before:
      description: The code held before, or null.
      type: str
    code_after:
      description: The code held after, or null.
      type: str
    reason:
      description: Why it failed, or why it was not verified; empty otherwise.
      type: str
exit_status:
  description: The program's exit status (0 set, 9 would change under check mode; the others
    are failures, told in the program's man page).
  returned: always
  type: int
"""

import json
import os

from ansible.module_utils.basic import AnsibleModule

# The outcomes after which the modem holds the country, as far as it can tell.
SET_OUTCOMES = ("set_verified", "set_not_reported", "set_not_checked", "already_set")


def port_result(entry, check_mode):
    outcome = entry.get("outcome")
    changed = bool(entry.get("changed"))
    if check_mode:
        changed = outcome == "would_change"
    return {
        "port": entry.get("port"),
        "device": entry.get("device"),
        "outcome": outcome,
        "changed": changed,
        "code_before": entry.get("code_before"),
        "code_after": entry.get("code_after"),
        "reason": entry.get("reason") or "",
    }


def main():
    module = AnsibleModule(
        argument_spec=dict(
            country=dict(type="str", required=True),
            port=dict(type="list", elements="str"),
            executable=dict(type="str", default="countryset"),
            verify=dict(type="bool", default=True),
        ),
        supports_check_mode=True,
    )
    executable = module.params["executable"]
    if os.sep not in executable:
        executable = module.get_bin_path(executable, required=True)

    args = [executable, "--country", module.params["country"], "--json"]
    for port in module.params["port"] or []:
        args += ["--port", port]
    if module.check_mode:
        args.append("--check")
    if not module.params["verify"]:
        args.append("--no-verify")

    rc, out, err = module.run_command(args)
    ports = []
    for line in out.splitlines():
        line = line.strip()
        if not line:
            continue
        try:
            entry = json.loads(line)
        except ValueError:
            continue
        if isinstance(entry, dict) and "outcome" in entry:
            ports.append(port_result(entry, module.check_mode))

    # Not "rc": Ansible takes a non-zero rc for a failure, and check mode's 9 is none.
    result = dict(changed=any(p["changed"] for p in ports), ports=ports, exit_status=rc)
    if len(ports) == 1:
        for key in ("outcome", "code_before", "code_after"):
            result[key] = ports[0][key]

    if not ports:
        # A usage error or a country not offered: nothing ran, the program says why.
        module.fail_json(msg=(err.strip() or "countryset printed no result (exit status %d)" % rc),
                         cmd=args, stderr=err, **result)
    allowed = SET_OUTCOMES + (("would_change",) if module.check_mode else ())
    failed = [p for p in ports if p["outcome"] not in allowed]
    if failed:
        # Where the result names no reason, the program's own message on stderr says it.
        told = " ".join(line.split(": ", 1)[-1] for line in err.splitlines() if line.strip())
        msg = "; ".join("%s: %s" % (p["port"], p["reason"] or p["outcome"]) for p in failed)
        if told and not all(p["reason"] for p in failed):
            msg += " (%s)" % told
        module.fail_json(msg=msg, cmd=args, stderr=err, **result)
    module.exit_json(**result)


if __name__ == "__main__":
    main()
