#!/usr/bin/python3
"""What `ansible-test sanity` checks of the opal.agent collection, run
without the network: ansible-test itself insists on a virtual environment
that it fills from PyPI, so its validate-modules script (documentation
against the argument_spec, return documentation, examples) runs here directly on
Debian's python3 with python3-voluptuous, honouring the collection's
tests/sanity/ignore-2.14.txt; then ansible-doc on every module, and every
Python file compiled.

Usage: sanity_test.py SOURCE_DIR
Exit status 77 (skipped) where ansible-core or python3-voluptuous is missing."""

import glob
import json
import os
import shutil
import subprocess
import sys

SOURCE = sys.argv[1]
COLLECTIONS = os.path.join(SOURCE, 'ansible')
COLLECTION = os.path.join(COLLECTIONS, 'ansible_collections', 'opal', 'agent')
VALIDATE = '/usr/lib/python3/dist-packages/ansible_test/_util/controller/sanity/validate-modules'


def main():
    if not shutil.which('ansible-doc') or not os.path.isdir(VALIDATE):
        print('SKIP: ansible-core (ansible-doc, ansible-test) is not installed')
        return 77
    try:
        import voluptuous  # noqa: F401  pylint: disable=unused-import,import-outside-toplevel
    except ImportError:
        print('SKIP: validate-modules needs python3-voluptuous')
        return 77
    failures = []
    env = dict(os.environ, ANSIBLE_COLLECTIONS_PATH=COLLECTIONS, PYTHONPATH=VALIDATE,
               HOME=os.environ.get('HOME', '/tmp'))
    modules = sorted(glob.glob(os.path.join(COLLECTION, 'plugins', 'modules', '*.py')))
    relative = [os.path.relpath(m, COLLECTION) for m in modules]

    ignored = set()
    with open(os.path.join(COLLECTION, 'tests', 'sanity', 'ignore-2.14.txt')) as f:
        for line in f:
            line = line.split('#')[0].split()
            if len(line) == 2 and line[1].startswith('validate-modules:'):
                ignored.add((line[0], line[1].split(':', 1)[1]))
    run = subprocess.run([sys.executable, os.path.join(VALIDATE, 'validate.py'), '--format', 'json',
                          '--arg-spec', '--collection', 'ansible_collections/opal/agent',
                          '--collection-version', '1.0.0'] + relative,
                         cwd=COLLECTION, env=env, capture_output=True, text=True, timeout=300)
    try:
        reports = json.loads(run.stdout) if run.stdout.strip() else {}
    except ValueError:
        reports = None
    if reports is None or (run.returncode not in (0, 3) and not reports):
        failures.append('validate-modules did not run: ' + run.stdout + run.stderr)
        reports = {}
    for path, report in reports.items():
        for error in report.get('errors', []):
            if (path, error.get('code')) not in ignored:
                failures.append('%s: %s %s' % (path, error.get('code'), error.get('msg')))

    for name in relative:
        module = 'opal.agent.' + os.path.splitext(os.path.basename(name))[0]
        doc = subprocess.run(['ansible-doc', '--json', module], env=env, capture_output=True,
                             text=True, timeout=120)
        if doc.returncode != 0 or module not in json.loads(doc.stdout or '{}'):
            failures.append('ansible-doc %s: %s' % (module, doc.stderr))

    for path in glob.glob(os.path.join(COLLECTION, '**', '*.py'), recursive=True):
        try:
            with open(path) as f:
                compile(f.read(), path, 'exec')
        except SyntaxError as error:
            failures.append(str(error))

    for failure in failures:
        print('FAIL: ' + failure)
    print('%d module(s) checked, %d failure(s)' % (len(relative), len(failures)))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
