#!/usr/bin/python3
"""The opal.agent collection under Debian's real ansible-playbook, run on
localhost (connection local) against a temporary agent home with a copy of
opal-agent-ctl and a registry root of its own.

Usage: fleet_test.py OPAL_AGENT_CTL SOURCE_DIR
Exit status 77 (skipped) where ansible-playbook is not installed."""

import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

CTL, SOURCE = sys.argv[1], sys.argv[2]
COLLECTIONS = os.path.join(SOURCE, 'ansible')
AGENT_KEY = os.path.join('HKEY_LOCAL_MACHINE', 'SOFTWARE', 'Norvale', 'OPAL4HBS', 'Agent')

# Passwords that must never show up in anything a run prints or logs.
PROXY_PASSWORD = 'Fleet-Pangolin-7731'
SECOND_PROXY_PASSWORD = 'Fleet-Okapi-2209'
SERVER_PASSWORD = 'Fleet-Tapir-5150'
SECRETS = (PROXY_PASSWORD, SECOND_PROXY_PASSWORD, SERVER_PASSWORD)

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print('FAIL: ' + what, flush=True)


def lay_out_home(root, with_agent=True):
    """An agent home as the ctl tests make one: the program beside the
    agent's documents, and the registry values under a root of its own."""
    home = os.path.join(root, 'home')
    os.makedirs(os.path.join(home, 'log'))
    shutil.copy2(CTL, os.path.join(home, 'opal-agent-ctl'))
    if with_agent:
        for name in ('AgentSysConfig.xml', 'AgentWorkConfig.xml', 'AgentStatus.xml'):
            shutil.copy(os.path.join(SOURCE, 'scripts', 'demo', name), home)
        shutil.copy(os.path.join(SOURCE, 'tests', 'data', 'ui', 'AgentLocalConfig.xml'), home)
        key = os.path.join(root, 'registry', AGENT_KEY)
        os.makedirs(key)
        for name, value in (('AgentStatus', '1'), ('ToolTag', '0')):
            with open(os.path.join(key, name), 'w') as out:
                out.write(value)
    return home


def closed_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


class Fleet:
    def __init__(self, root):
        self.root = root
        self.home = lay_out_home(os.path.join(root, 'agent'))
        self.bare = lay_out_home(os.path.join(root, 'bare'), with_agent=False)
        self.config = os.path.join(self.home, 'AgentLocalConfig.xml')
        self.inventory = os.path.join(root, 'inventory')
        with open(self.inventory, 'w') as out:
            out.write('localhost ansible_connection=local ansible_python_interpreter=/usr/bin/python3\n')
        self.env = dict(os.environ)
        self.env.update({
            'HOME': os.path.join(root, 'user'),
            'ANSIBLE_COLLECTIONS_PATH': COLLECTIONS,
            'ANSIBLE_LOCAL_TEMP': os.path.join(root, 'ansible-local'),
            'ANSIBLE_REMOTE_TEMP': os.path.join(root, 'ansible-remote'),
            'ANSIBLE_NOCOLOR': '1',
            'ANSIBLE_RETRY_FILES_ENABLED': '0',
            'ANSIBLE_LOG_PATH': os.path.join(root, 'ansible.log'),
            'ANSIBLE_CALLBACK_PLUGINS': os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                     'callback_plugins'),
            'ANSIBLE_CALLBACKS_ENABLED': 'record_results',
            'OPAL_REGISTRY_ROOT': os.path.join(root, 'agent', 'registry'),
            'XDG_STATE_HOME': os.path.join(root, 'state'),
            # No system bus: the service's state is "unknown", which the
            # status leaves alone, whatever this machine runs.
            'DBUS_SYSTEM_BUS_ADDRESS': 'unix:path=' + os.path.join(root, 'no-bus'),
        })
        for name in ('DISPLAY', 'WAYLAND_DISPLAY', 'ANSIBLE_CONFIG', 'ANSIBLE_STDOUT_CALLBACK',
                     'PYTHONPATH'):
            self.env.pop(name, None)
        os.makedirs(self.env['HOME'])
        self.outputs = []
        self.runs = 0

    def play(self, tasks, options=(), text=False):
        """One ansible-playbook run of `tasks` on localhost: each task's
        result, or with `text` the run itself."""
        self.runs += 1
        playbook = os.path.join(self.root, 'play%d.yml' % self.runs)
        with open(playbook, 'w') as out:
            json.dump([{'hosts': 'localhost', 'gather_facts': False,
                        'vars': {'ctl': os.path.join(self.home, 'opal-agent-ctl'),
                                 'proxy_password': PROXY_PASSWORD,
                                 'second_proxy_password': SECOND_PROXY_PASSWORD,
                                 'server_password': SERVER_PASSWORD},
                        'tasks': tasks}], out)
        results = os.path.join(self.root, 'results%d.json' % self.runs)
        env = dict(self.env, OPAL_FLEET_RESULTS=results)
        run = subprocess.run(['ansible-playbook', '-i', self.inventory, playbook] + list(options),
                             env=env, cwd=self.root, capture_output=True, text=True, timeout=120)
        self.outputs.append(run.stdout + run.stderr)
        if text:
            return run
        if not os.path.exists(results):
            print(run.stdout + run.stderr)
        with open(results) as f:
            return json.load(f)

    def stored(self):
        with open(self.config, 'rb') as f:
            return f.read(), os.stat(self.config).st_mtime_ns, os.stat(self.config).st_ino

    def apply_check(self, proxy_password):
        """Whether the stored proxy password is `proxy_password`: an apply
        --check with it says nothing would change."""
        empty = os.path.join(self.root, 'empty.json')
        with open(empty, 'w') as out:
            out.write('{}')
        run = subprocess.run([os.path.join(self.home, 'opal-agent-ctl'), '--json', 'config', 'apply',
                              '--check', '--password-stdin=proxy-password', empty],
                             input=proxy_password + '\n', env=self.env, capture_output=True,
                             text=True)
        return json.loads(run.stdout)


def stored_value(document, element, after=b''):
    start = document.index(b'<' + element + b'>', document.index(after) if after else 0)
    start += len(element) + 2
    return document[start:document.index(b'</' + element + b'>', start)]


def config_task(settings, passwords=None, **more):
    task = {'opal.agent.config': {'settings': settings, 'ctl_path': '{{ ctl }}'}}
    if passwords:
        task['opal.agent.config']['passwords'] = passwords
    task.update(more)
    return task


DESIRED = {'server': 'kestrel2.example.com', 'port': 8443, 'proxy-type': 'http',
           'proxy': 'proxy.branch.example.com', 'proxy_port': 3129, 'proxy-user': 'fleet'}


def main():
    if not shutil.which('ansible-playbook'):
        print('SKIP: ansible-playbook is not installed (Debian package ansible-core)')
        return 77
    root = tempfile.mkdtemp(prefix='opal-fleet-')
    try:
        fleet = Fleet(root)
        run_cases(fleet)
        # Nothing a run printed or logged holds a password.
        logs = list(fleet.outputs)
        for path in (fleet.env['ANSIBLE_LOG_PATH'],
                     os.path.join(fleet.home, 'log', 'OPALAgentSetting.log')):
            if os.path.exists(path):
                with open(path, errors='replace') as f:
                    logs.append(f.read())
        for number, text in enumerate(logs):
            for secret in SECRETS:
                check(secret not in text, 'a password in output or log %d' % number)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    print('%d failure(s)' % len(failures))
    return 1 if failures else 0


def run_cases(fleet):
    pristine, dummy, dummy = fleet.stored()

    # First run: the settings change, the proxy password is stored encrypted.
    first = fleet.play([config_task(DESIRED, {'proxy-password': '{{ proxy_password }}'})])[0]
    check(first.get('changed') is True and not first.get('failed'), 'first run changes: %r' % first)
    check(first.get('changes') == ['server', 'port', 'proxy', 'proxy-port', 'proxy-user',
                                   'proxy-password'], 'first run names the changes: %r'
          % first.get('changes'))
    bytes_after, mtime, inode = fleet.stored()
    check(bytes_after != pristine, 'first run wrote the configuration')
    stored = stored_value(bytes_after, b'ProxyPassword', b'<HTTPProxy>')
    check(stored.startswith(b'!CRYPT!') and PROXY_PASSWORD.encode() not in bytes_after,
          'the proxy password is stored encrypted: %r' % stored)
    check(fleet.apply_check(PROXY_PASSWORD).get('changed') is False,
          'the stored proxy password is the one given')
    check(b'<ServerName>proxy.branch.example.com</ServerName>' in bytes_after,
          'the proxy is stored')

    # Second, identical run: ok, the file keeps its bytes and time.
    time.sleep(0.05)
    second = fleet.play([config_task(DESIRED, {'proxy-password': '{{ proxy_password }}'})])[0]
    check(second.get('changed') is False and not second.get('failed'),
          'second run is ok: %r' % second)
    check(fleet.stored() == (bytes_after, mtime, inode), 'second run left the file alone')

    # Check and diff mode: the change is told, before and after, with the
    # password only as changed; nothing is written.
    changes = dict(DESIRED, port=9443)
    checked = fleet.play([config_task(changes, {'proxy-password': '{{ second_proxy_password }}'})],
                         ['--check', '--diff'])[0]
    check(checked.get('changed') is True, 'check mode reports the change: %r' % checked)
    diff = checked.get('diff') or {}
    check(diff.get('before') == {'port': 8443, 'proxy-password': 'set'}, 'diff before: %r' % diff)
    check(diff.get('after') == {'port': 9443, 'proxy-password': 'changed'}, 'diff after: %r' % diff)
    check(fleet.stored() == (bytes_after, mtime, inode), 'check mode wrote nothing')

    # Diff mode alone saves and shows the same; then refusals, the connection
    # test and the status, each in one task of one run.
    port = closed_port()
    results = fleet.play([
        config_task(changes, {'proxy-password': '{{ second_proxy_password }}'},
                    register='applied'),
        config_task({'port': 0}, ignore_errors=True),
        {'opal.agent.connection_test': {
            'settings': {'server': '127.0.0.1', 'port': port, 'protocol': 'http',
                         'proxy-type': 'none', 'auth': 'none', 'timeout': 300},
            'ctl_path': '{{ ctl }}'}, 'ignore_errors': True},
        {'opal.agent.status': {'ctl_path': '{{ ctl }}'}},
        {'opal.agent.status': {'ctl_path': os.path.join(fleet.bare, 'opal-agent-ctl')},
         'environment': {'OPAL_REGISTRY_ROOT': os.path.join(fleet.root, 'bare', 'registry')},
         'ignore_errors': True},
        config_task({'password': 'x'}, ignore_errors=True),
    ], ['--diff'])
    applied, refused, tested, status, missing, misplaced = results
    check(applied.get('changed') is True and applied.get('diff', {}).get('after') ==
          {'port': 9443, 'proxy-password': 'changed'}, 'diff mode saves: %r' % applied)
    check(fleet.apply_check(SECOND_PROXY_PASSWORD).get('changed') is False,
          'diff mode stored the second password')
    check(refused.get('failed') is True and refused.get('msg') ==
          '[Server port:] cannot accept an invalid number. Enter a number between 1 and 65535.'
          and refused.get('message_id') == 7001 and refused.get('setting') == 'port',
          'a bad port fails with the dialog\'s message: %r' % refused)
    check(tested.get('failed') is True and tested.get('changed') is False
          and tested.get('failed_step') == 'connect' and tested.get('hint'),
          'the connection test fails at connect with a hint: %r' % tested)
    check(any(step.get('name') == 'connect' and step.get('result') == 'failed'
              for step in tested.get('steps', [])), 'the steps are read: %r' % tested.get('steps'))
    facts = status.get('ansible_facts', {}).get('opal_agent', {})
    check(not status.get('failed') and facts.get('agent', {}).get('agentStatus') == 1
          and facts.get('server', {}).get('url', '').startswith('https://kestrel2.example.com:9443/'),
          'the status facts: %r' % status)
    check(missing.get('failed') is True and 'AgentStatus.xml is missing' in missing.get('msg', '')
          and [m.get('what') for m in missing.get('missing', [])] ==
          ['status-document', 'registry-value', 'system-configuration'],
          'a machine without the agent fails with what is missing: %r' % missing)
    check(misplaced.get('failed') is True and 'passwords' in misplaced.get('msg', ''),
          'a password among the settings is refused: %r' % misplaced)

    # Verbose, with the text callback: no password in what -vvv shows.
    verbose = fleet.play([config_task({'auth': 'basic', 'user': 'fleet-reporter'},
                                      {'password': '{{ server_password }}'})],
                         ['-vvv', '--diff'], text=True)
    check(verbose.returncode == 0, 'the verbose run passes: ' + verbose.stdout[-2000:])
    check('fleet-reporter' in verbose.stdout, 'the verbose run shows its diff')

    # The example playbook is well-formed.
    example = os.path.join(COLLECTIONS, 'ansible_collections', 'opal', 'agent', 'playbooks',
                           'fleet.yml')
    syntax = subprocess.run(['ansible-playbook', '-i', fleet.inventory, '--syntax-check', example],
                            env=fleet.env, capture_output=True, text=True, timeout=60)
    check(syntax.returncode == 0, 'the example playbook: ' + syntax.stdout + syntax.stderr)


if __name__ == '__main__':
    sys.exit(main())
