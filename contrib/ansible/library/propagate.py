#!/usr/bin/python
# -*- coding: utf-8 -*-
# Ansible module that installs or upgrades a Velmira installation by running propagate on the managed host.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: propagate
short_description: Install or upgrade the Velmira product from a repository with propagate
description:
  - Brings the base directory I(base) on the managed host in line with the repository I(repo), a directory on the
    host or a mirror's URL, by running C(propagate) there, as C(propagate -v) does by hand.
  - The result is C(changed) when the run printed an action line other than C(table) and C(keep), that is when
    it made a directory, copied a file, set attributes, made a link or removed something, or when
    C(propagate --verify) reported before the run something that a run puts back (a damaged installation).
    A run of the same repository over an intact installation prints only C(table) and reports no change. The
    installed table is rewritten on every run, and that alone is not counted as a change, even when the new table
    differs from the old one only in what changes nothing else in I(base) (records dropped without I(prune), for
    instance). Local edits that the table keeps (C(keep) lines) are not counted as a change either, but a kept
    file whose mode or owner the run puts back is, since C(--verify) reports it as damage.
  - In check mode the module runs C(propagate --verify) and C(propagate --dry-run), whose lines are those that a
    run would print, changes nothing, and reports whether a run would change the installation.
  - With C(--diff) the action lines are shown, one per action, each a verb (C(mkdir), C(attrs), C(copy),
    C(keep), C(link), C(remove), C(table)) and the path escaped as in the table. In check mode they are the lines
    that C(--dry-run) printed, otherwise those that the run printed.
  - A failure of C(propagate) fails the task on that host only, with the C(Error:) line as its message.
options:
  repo:
    description:
      - The repository directory on the managed host, holding C(files.txt) and the content files it names.
      - Or the repository's URL (C(http://), C(https://) or C(file://)), from which C(propagate) fetches the table
        and only the content that the installation lacks.
      - A directory has C(~) and C($VARIABLE) expanded as a path is; a URL is passed as it is.
    type: str
    required: true
  base:
    description:
      - The base directory on the managed host, where the product is installed.
      - It is created (one level) if it does not exist.
    type: path
    required: true
  jobs:
    description:
      - Work on at most this many records at once (C(propagate --jobs)).
      - By default C(propagate) uses the processors of the host, at most 16.
    type: int
  prune:
    description:
      - Remove what the previous table installed and the repository's table no longer names, as long as it is
        still as it was installed (C(propagate --prune)). Without it nothing is ever removed.
    type: bool
    default: false
  checksum:
    description:
      - Read every installed file to tell whether it is right, instead of trusting the fingerprints that
        C(propagate) recorded of the files it installed (C(propagate --checksum)). Slower, but it finds a
        difference that a fingerprint would miss.
    type: bool
    default: false
  table:
    description:
      - The name of the installed table in I(base), that C(propagate --verify --table) checks before the run.
        When there is none, the installation is a first one.
      - By default the name that the table record of the repository's C(files.txt) gives, which is C(files.txt)
        unless the product names it otherwise.
      - With a URL as I(repo), C(files.txt) by default, since the module does not fetch the table itself; give the
        name when the product names it otherwise, or every run is reported as a change.
    type: str
  cacert:
    description:
      - A PEM file on the managed host of the certificate authorities to trust for an C(https://) I(repo)
        (C(propagate --cacert)), for a mirror whose certificate a private authority signed.
      - By default those of the host's system.
    type: path
  executable:
    description:
      - The C(propagate) program on the managed host.
      - By default C(propagate) is looked for in the directories of C(PATH) and the usual system directories.
    type: path
notes:
  - C(propagate) sets owners and groups, so the task has to run as root (with become, for instance).
  - Earlier versions of the module also returned C(new_table), whether the repository's table differed from the
    installed one. It is no longer returned, since the action lines tell an upgrade from a run with nothing to do
    and the two tables are not compared any more.
  - Runs on one base directory never overlap. While another run of C(propagate) works there, the task fails at
    once with the C(Error:) line that says so; run it again later.
requirements:
  - C(propagate) from the Velmira installation kit on the managed host.
author:
  - Velmira installation kit maintainers
'''

EXAMPLES = r'''
- name: Install or upgrade Velmira from the repository unpacked on the host
  propagate:
    repo: /var/cache/velmira/repository
    base: /opt/velmira
  become: true

- name: Upgrade, removing what the new version dropped, with four jobs
  propagate:
    repo: /var/cache/velmira/repository
    base: /opt/velmira
    prune: true
    jobs: 4
    executable: /usr/local/bin/propagate
  become: true
  register: velmira

- name: Show what the upgrade did
  ansible.builtin.debug:
    var: velmira.actions

- name: Install or upgrade from a mirror signed by the site's own certificate authority
  propagate:
    repo: https://mirror.example.net/velmira/1.1.0/
    base: /opt/velmira
    cacert: /etc/ssl/velmira/site-ca.pem
  become: true

- name: Mend whatever differs from the table, reading every installed file
  propagate:
    repo: /var/cache/velmira/repository
    base: /opt/velmira
    checksum: true
  become: true
'''

RETURN = r'''
actions:
  description:
    - The action lines that C(propagate -v) printed, or in check mode those that C(propagate --dry-run) printed,
      each a verb and the path escaped as in the table. On failure, those printed before it.
  returned: always, when propagate ran
  type: list
  elements: str
  sample: ["mkdir etc", "copy etc/app.conf", "link share/README", "table files.txt"]
damaged:
  description:
    - Whether C(propagate --verify) reported, before the run, something that a run puts back.
    - Also true when there was no installed table or C(--verify) failed, since then nothing vouches for the
      installation.
  returned: always, when propagate ran
  type: bool
  sample: false
differences:
  description:
    - The lines that C(propagate --verify) printed before the run, one per path that differed from the installed
      table. A locally edited file that the table keeps ends in C(content changed locally (kept)).
  returned: always, when propagate ran
  type: list
  elements: str
  sample: ["etc/app.conf: content changed locally (kept)", "bin/velmira: mode 0100644, table 0100755"]
installed_table:
  description: The path of the installed table that C(propagate --verify) checked before the run.
  returned: always, when propagate ran
  type: str
  sample: /opt/velmira/files.txt
cmd:
  description: The command line of the run (of the dry run in check mode).
  returned: always, when propagate ran
  type: list
  elements: str
  sample: ["/usr/local/bin/propagate", "-v", "/var/cache/velmira/repository", "/opt/velmira"]
rc:
  description: The exit status of that command.
  returned: always, when propagate ran
  type: int
  sample: 0
stderr:
  description:
    - What that command wrote on standard error; on failure it holds the C(Error:) line, which is also the message.
  returned: always, when propagate ran
  type: str
  sample: "Error: fopen(/var/cache/velmira/repository/app.conf): No such file or directory"
'''

import os
import re

from ansible.module_utils.basic import AnsibleModule
from ansible.module_utils.common.text.converters import to_bytes, to_native

# The name under which propagate installs its table unless the table record says otherwise.
DEFAULT_TABLE_NAME = b'files.txt'

# The exit status of `propagate --verify` when something differs that a run would put back.
VERIFY_DIFFERS = 2

# A repository given as a URL rather than a directory; propagate itself refuses the schemes it does not fetch.
URL_PATTERN = re.compile(r'^[A-Za-z][A-Za-z0-9+.-]*://')


def unescape(token):
    """Decodes a name written as in a table: '+' and two hexadecimal digits stand for that byte."""
    hex_digits = b'0123456789abcdefABCDEF'
    decoded = bytearray()
    index = 0
    while index < len(token):
        if token[index:index + 1] == b'+' and index + 3 <= len(token) \
                and token[index + 1] in hex_digits and token[index + 2] in hex_digits:
            decoded.append(int(token[index + 1:index + 3], 16))
            index += 3
        else:
            decoded += token[index:index + 1]
            index += 1
    return bytes(decoded)


def table_name(table_bytes):
    """The installed table's name that the first table record gives, or the default when there is none."""
    # propagate cuts lines at line feeds, drops carriage returns and splits tokens at blanks only.
    for line in table_bytes.replace(b'\r', b'').split(b'\n'):
        tokens = [token for token in line.split(b' ') if token]
        if tokens and tokens[0] == b'table':
            if len(tokens) > 3:
                return unescape(tokens[3])
            break
    return DEFAULT_TABLE_NAME


# Action lines that change nothing in the installation: the table is rewritten on every run, and a kept local
# edit stays as it is.
UNCHANGING_VERBS = ('table', 'keep')


def changes(actions):
    """Whether the action lines include one that changes the installation."""
    return any(line.split(' ', 1)[0] not in UNCHANGING_VERBS for line in actions if line)


def read_bytes(path):
    """The whole content of path, or None when it cannot be read."""
    try:
        with open(path, 'rb') as stream:
            return stream.read()
    except (IOError, OSError):
        return None


def error_line(stderr, rc):
    """The Error: line of a failed command, or what stands in for it when the command printed none."""
    lines = stderr.splitlines()
    for line in reversed(lines):
        if line.startswith('Error: '):
            return line
    if lines:
        return lines[-1]
    return 'propagate ended with status %d and printed nothing' % rc


def main():
    module = AnsibleModule(
        argument_spec=dict(
            repo=dict(type='str', required=True),
            base=dict(type='path', required=True),
            jobs=dict(type='int'),
            prune=dict(type='bool', default=False),
            checksum=dict(type='bool', default=False),
            table=dict(type='str'),
            executable=dict(type='path'),
            cacert=dict(type='path'),
        ),
        supports_check_mode=True,
    )
    repo = module.params['repo']
    is_url = URL_PATTERN.match(repo) is not None
    if not is_url:
        # As the path type would, which a URL must not go through ($ and ~ may stand in it for themselves).
        repo = os.path.expanduser(os.path.expandvars(repo))
    base = module.params['base']
    executable = module.params['executable'] or module.get_bin_path('propagate', required=True)

    def run(arguments):
        # Paths are passed as they are: no ~ or $VARIABLE in them is expanded.
        return module.run_command([executable] + arguments, expand_user_and_vars=False)

    common_options = []
    if module.params['jobs'] is not None:
        common_options += ['--jobs', str(module.params['jobs'])]

    # What the installation was before the run, by --verify's verdict: damage that the run mends is a change even
    # where its line does not say so, as the keep line of a kept file whose mode the run puts back.
    # propagate joins names by plain concatenation, so the paths are made the same way.
    if module.params['table'] is not None:
        name = to_bytes(module.params['table'], errors='surrogate_or_strict')
    elif is_url:
        # Fetching the table only to learn its name would fetch it twice on every run.
        name = DEFAULT_TABLE_NAME
    else:
        repository_table = read_bytes(to_bytes(repo, errors='surrogate_or_strict') + b'/files.txt')
        name = DEFAULT_TABLE_NAME if repository_table is None else table_name(repository_table)
    installed_path = to_bytes(base, errors='surrogate_or_strict') + b'/' + name

    warnings = []
    differences = []
    if not os.path.lexists(installed_path):
        # No table: a first installation, or one that never finished; --verify has nothing to compare with.
        damaged = True
    else:
        verify_rc, verify_out, verify_err = run(['--verify', '--table', name]
                                                + common_options + [base])
        differences = verify_out.splitlines()
        damaged = verify_rc != 0
        if verify_rc not in (0, VERIFY_DIFFERS):
            warnings.append('propagate --verify failed, the installation is taken as damaged: %s'
                            % error_line(verify_err, verify_rc))

    run_options = ['--dry-run' if module.check_mode else '--verbose'] + common_options
    if module.params['prune']:
        run_options.append('--prune')
    if module.params['checksum']:
        run_options.append('--checksum')
    if module.params['cacert'] is not None:
        run_options += ['--cacert', module.params['cacert']]
    command = [executable] + run_options + [repo, base]
    rc, out, err = run(run_options + [repo, base])
    actions = out.splitlines()

    result = dict(
        changed=damaged or changes(actions),
        actions=actions,
        damaged=damaged,
        differences=differences,
        installed_table=to_native(installed_path, errors='surrogate_or_strict'),
        cmd=command,
        rc=rc,
        stderr=err,
    )
    for warning in warnings:
        module.warn(warning)
    if rc != 0:
        # The lines that a failed run printed tell what it did before it stopped.
        module.fail_json(msg=error_line(err, rc), **result)
    if module._diff and actions:
        result['diff'] = dict(prepared='\n'.join(actions))
    module.exit_json(**result)


if __name__ == '__main__':
    main()
