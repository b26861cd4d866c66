# Unit tests of the printlist module: its prediction against the tool's own case table,
# how it reads the list (links, odd files), its diff, and why a task fails.

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import contextlib
import fcntl
import json
import os
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

import pytest

from ansible.module_utils import basic
from ansible.module_utils.common.text.converters import to_bytes
from ansible.module_utils.common.warnings import get_warning_messages

from ansible_collections.varnolt.printlist.plugins.modules import printlist

# The table cli.sh runs against the tool, in the printlist source tree; a built
# collection has no copy of it.
CASES = Path(__file__).resolve().parents[5] / 'tests' / 'list_cases.sh'

# Runs the table in bash, so that its words and printf formats mean what they mean
# to cli.sh: each field comes out hex-encoded, ended by a zero byte.
EXPAND = r'''
hex() { od -An -tx1 -v | tr -d ' \n'; printf '\0'; }
list() { case $1 in -|=) printf '%s\0' "$1" ;; *) printf x; printf "$1" | hex ;; esac; }
t() {
    printf '%s\0' "$1"; list "$2"; list "$4"
    eval "set -- $3"
    printf '%s\0' $#
    for a; do printf '%s' "$a" | hex; done
}
. "$1"
'''


def table():
    if not CASES.exists():
        return []
    out = subprocess.run(['bash', '-c', EXPAND, 'expand', str(CASES)], check=True, stdout=subprocess.PIPE).stdout
    fields = out.split(b'\0')
    rows = []
    while len(fields) > 4:
        what, before, after, argc = fields[:4]
        args = [bytes.fromhex(a.decode()) for a in fields[4:4 + int(argc)]]
        fields = fields[4 + int(argc):]

        def data(f):
            return f.decode() if f in (b'-', b'=') else bytes.fromhex(f[1:].decode())
        rows.append(pytest.param(data(before), args, data(after), id=what.decode()))
    return rows


@pytest.mark.skipif(not CASES.exists(), reason='the case table is in the printlist source tree')
@pytest.mark.parametrize('before, args, after', table())
def test_prediction_follows_the_tools_table(before, args, after):
    if len(args) != 2 or args[0] not in (b'-i', b'-e'):
        pytest.skip('a command line the module never gives')
    state = 'present' if args[0] == b'-i' else 'absent'
    before = None if before == '-' else before
    expected = before if after == '=' else None if after == '-' else after
    if b'\n' in args[1]:
        with pytest.raises(SystemExit):
            printlist.normalise_names(FailingModule(), args[1].decode('utf-8', 'surrogateescape'))
        return
    assert printlist.predict(before, [args[1]], state) == expected
    changed = printlist.is_listed(expected, args[1]) != printlist.is_listed(before, args[1])
    assert changed == (expected != before)


class FailingModule:
    def fail_json(self, **kw):
        raise SystemExit(kw['msg'])


def test_an_emptied_list_kept_where_it_cannot_go():
    assert printlist.predict(b'a\nb', [b'a', b'b'], 'absent', deletable=False) == b''
    assert printlist.predict(b'a\nb', [b'b', b'a'], 'absent') is None


def test_names_are_whole_and_once():
    assert printlist.normalise_names(FailingModule(), 'a,b') == [b'a,b']
    assert printlist.normalise_names(FailingModule(), ['x', 'x', '', 7]) == [b'x', b'', b'7']
    for bad in ('a\0b', ['ok', 'a\nb'], [None], True):
        with pytest.raises(SystemExit):
            printlist.normalise_names(FailingModule(), bad)


def test_diff_escapes_and_cuts():
    d = printlist.list_diff(b'ok\\x\n\xff\x00\n\xe2\x80\xa8\r\nlast', None, '/l')
    assert d['before'] == 'ok\\x\n\\xff\\x00\n\\u2028\\x0d\nlast'
    assert (d['before_header'], d['after_header']) == ('/l', '/l (no file)')
    many = b''.join(b'n%d\n' % i for i in range(1000))
    d = printlist.list_diff(many, many.replace(b'n500\n', b'') + b'new\n', '/l')
    assert d['before'].splitlines() == ['[497 lines not shown]', 'n497', 'n498', 'n499', 'n500', 'n501', 'n502',
                                        'n503', '[493 lines not shown]', 'n997', 'n998', 'n999']
    assert d['after'].splitlines() == ['[497 lines not shown]', 'n497', 'n498', 'n499', 'n501', 'n502',
                                       'n503', '[493 lines not shown]', 'n997', 'n998', 'n999', 'new']


root_only = pytest.mark.skipif(os.geteuid() != 0, reason='links of other users need root')
NOBODY = 65534


@pytest.fixture
def inf(tmp_path):
    d = tmp_path / 'inf'
    d.mkdir()
    return d


def read(d, name='vnPrintList'):
    fd, st, trust = printlist.open_dir(str(d))
    try:
        return printlist.read_list(fd, name, trust)
    finally:
        os.close(fd)


@root_only
def test_links_followed_as_the_tool_does(inf, tmp_path):
    target = tmp_path / 'real'
    target.write_bytes(b'a\n')
    link = inf / 'vnPrintList'
    link.symlink_to(target)
    got = read(inf)
    assert (got.data, got.deletable) == (b'a\n', False)  # emptied, a link keeps its file
    # Past a user's link or directory only that user's files count, and "/" is root's.
    os.lchown(link, NOBODY, NOBODY)
    with pytest.raises(printlist.ListError, match='/ is owned by root .*past a directory or link of nobody'):
        read(inf)
    os.chown(inf, NOBODY, NOBODY)
    with pytest.raises(printlist.ListError, match='past a directory or link of nobody'):
        read(inf)
    link.unlink()
    (inf / 'mine').write_bytes(b'b\n')
    link.symlink_to('mine')
    os.lchown(link, NOBODY, NOBODY)
    with pytest.raises(printlist.ListError, match='mine is owned by root .*past a directory or link of nobody'):
        read(inf)
    os.chown(inf / 'mine', NOBODY, NOBODY)
    assert read(inf).data == b'b\n'
    os.chown(inf, 0, 0)
    link.unlink()
    link.symlink_to(tmp_path / 'new')
    got = read(inf)
    assert (got.data, got.new_at) == (None, str(tmp_path / 'new'))
    link.unlink()
    link.symlink_to(tmp_path / 'none' / 'new')
    assert (read(inf).data, read(inf).new_at) == (None, None)
    link.unlink()
    link.symlink_to('vnPrintList')
    with pytest.raises(printlist.ListError, match='symbolic links'):
        read(inf)


@root_only
def test_a_planted_directory_link_is_not_followed(tmp_path):
    (tmp_path / 'secret').mkdir()
    os.symlink(tmp_path / 'secret', tmp_path / 'inf')
    os.lchown(tmp_path / 'inf', NOBODY, NOBODY)
    with pytest.raises(printlist.ListError, match='cannot be reached: / is owned by root .*past a directory or link of nobody'):
        read(tmp_path / 'inf')


def test_only_regular_files_are_read(inf, tmp_path):
    list_path = inf / 'vnPrintList'
    os.mkfifo(list_path)
    with pytest.raises(printlist.ListError, match='is a FIFO, not a regular file'):
        read(inf)
    list_path.unlink()
    list_path.symlink_to('/dev/zero')
    with pytest.raises(printlist.ListError, match='a character device'):
        read(inf)
    list_path.unlink()
    list_path.write_bytes(b'x')
    os.link(list_path, tmp_path / 'other')
    assert (read(inf).data, read(inf).deletable) == (b'x', False)
    inf.chmod(0o775)  # where others may write, the second name may be theirs
    with pytest.raises(printlist.ListError, match='has 2 hard links in a directory others may write'):
        read(inf)
    with pytest.raises(printlist.ListError, match='does not exist'):
        read(tmp_path / 'gone')


class Exited(Exception):
    pass


def run_module(monkeypatch, tmp_path, check=False, diff=False, inf='inf', **params):
    """main() on a list under tmp_path, with its result."""
    (tmp_path / 'inf').mkdir(exist_ok=True)
    monkeypatch.setattr(printlist, 'LIST_PATH', str(tmp_path / inf / 'vnPrintList'))
    params.update(_ansible_check_mode=check, _ansible_diff=diff)
    results = []

    def leave(self, **kw):
        results.append(kw)
        raise Exited()
    monkeypatch.setattr(basic.AnsibleModule, 'exit_json', leave)
    monkeypatch.setattr(basic.AnsibleModule, 'fail_json', lambda self, **kw: leave(self, failed=True, **kw))
    try:
        from ansible.module_utils.testing import patch_module_args
        args = patch_module_args(params)
    except ImportError:  # before ansible-core 2.19
        args = contextlib.nullcontext()
        monkeypatch.setattr(basic, '_ANSIBLE_ARGS', to_bytes(json.dumps({'ANSIBLE_MODULE_ARGS': params})))
    with args, pytest.raises(Exited):
        printlist.main()
    return results[0]


# Stands in for printlist: adds or removes its name as the tool would, keeps its command lines,
# and whether the directory lock that a run takes was free.
FAKE = '''#!/bin/sh
echo "$@" >>"%(calls)s"
flock -xn "%(dir)s" true || echo "the directory is locked" >>"%(calls)s"
[ "$1" = -i ] && %(add)s printf '%%s\\n' "$2" >>"%(list)s"
[ "$1" = -e ] && %(add)s { grep -avxF -e "$2" "%(list)s" >"%(list)s.new"; mv "%(list)s.new" "%(list)s"; }
exit 0
'''


@pytest.fixture
def fake(tmp_path):
    def make(add=True, body=''):
        exe = tmp_path / 'printlist'
        exe.write_text(body or FAKE % {'calls': tmp_path / 'calls', 'dir': tmp_path / 'inf',
                                       'list': tmp_path / 'inf' / 'vnPrintList',
                                       'add': '' if add else 'false &&'})
        exe.chmod(0o755)
        return str(exe)
    return make


def calls(tmp_path):
    return (tmp_path / 'calls').read_text() if (tmp_path / 'calls').exists() else ''


def test_a_task_calls_only_for_names_it_changes(monkeypatch, tmp_path, fake):
    (tmp_path / 'inf').mkdir()
    (tmp_path / 'inf' / 'vnPrintList').write_bytes(b'lp1\n')
    r = run_module(monkeypatch, tmp_path, check=True, diff=True, name=['lp1', 'a,b'], executable=fake())
    assert (r['changed'], r['added'], r['diff']['after'], calls(tmp_path)) == (True, ['a,b'], 'lp1\na,b\n', '')
    r = run_module(monkeypatch, tmp_path, name=['lp1', 'a,b'], executable=fake())
    assert (r['changed'], r['added'], calls(tmp_path)) == (True, ['a,b'], '-i a,b\n')
    r = run_module(monkeypatch, tmp_path, name='a,b', executable=fake())
    assert (r['changed'], r.get('failed'), calls(tmp_path)) == (False, None, '-i a,b\n')


def test_failures_say_why(monkeypatch, tmp_path, fake):
    r = run_module(monkeypatch, tmp_path, name='lp1', executable=str(tmp_path / 'none'))
    assert r['failed'] and 'not installed' in r['msg']
    r = run_module(monkeypatch, tmp_path, name=['lp1', 'a\0b'], executable=fake())
    assert r['failed'] and 'zero byte' in r['msg'] and calls(tmp_path) == ''
    lock = tmp_path / 'inf' / 'vnPrintList.lock'
    lock.mkdir()
    r = run_module(monkeypatch, tmp_path, name='lp1', executable=fake(add=False))
    assert r['failed'] and r['msg'].endswith("'lp1' is not listed after printlist ran: the lock file %s is a "
                                             'directory, so printlist changes nothing' % lock)
    r = run_module(monkeypatch, tmp_path, check=True, name='lp1', executable=fake(add=False))
    assert r['failed'] and r['msg'] == ('a real run would change nothing: the lock file %s is a directory, '
                                        'so printlist changes nothing' % lock)
    lock.rmdir()
    (tmp_path / 'inf' / 'vnPrintList').write_bytes(b'lp0\n')
    os.link(tmp_path / 'inf' / 'vnPrintList', lock)
    r = run_module(monkeypatch, tmp_path, name='lp1', executable=fake(add=False))
    assert r['failed'] and r['msg'].endswith('the lock file %s has 2 hard links, so printlist changes nothing' % lock)
    lock.unlink()
    if os.geteuid() == 0:
        lock.touch()
        os.chown(lock, NOBODY, NOBODY)
        r = run_module(monkeypatch, tmp_path, name='lp1', executable=fake(add=False))
        assert r['failed'] and 'owned by nobody (uid 65534), neither root' in r['msg']
        lock.unlink()
    (tmp_path / 'inf' / 'vnPrintList').write_bytes(b'lp1\n')
    r = run_module(monkeypatch, tmp_path, name='lp1', state='absent', executable=fake(add=False))
    assert r['failed'] and 'is still listed' in r['msg']
    r = run_module(monkeypatch, tmp_path, name='lp2', timeout=1, executable=fake(body='#!/bin/sh\nexec sleep 30\n'))
    assert r['failed'] and r['msg'].startswith('timed out')


def test_a_held_directory_lock_times_out(inf):
    fd, st, trust = printlist.open_dir(str(inf))
    held = os.open(str(inf), os.O_RDONLY | os.O_DIRECTORY)
    try:
        fcntl.flock(held, fcntl.LOCK_EX)
        with pytest.raises(printlist.ListError, match=r'timed out .* held by %d \(' % os.getpid()):
            printlist.read_locked(fd, st, 'vnPrintList', time.monotonic() + 0.2, trust)
    finally:
        os.close(held)
        os.close(fd)


def test_exclusive_names_and_backup(monkeypatch, tmp_path, fake):
    inf, old = tmp_path / 'inf', b'lp0\nlp1\n\nx\0y\nlp1\nlp0\n'
    inf.mkdir()
    (inf / 'vnPrintList').write_bytes(old)
    (inf / 'vnPrintList').chmod(0o640)
    task = dict(name=['lp1', '$HOME'], exclusive=True, backup=True, executable=fake())
    # Lines of a wanted name stay twice; a zero byte cannot be passed, so its line stays.
    outcome = (True, ['$HOME'], ['lp0', ''], ['lp1', 'x\0y', 'lp1', '$HOME'])
    r = run_module(monkeypatch, tmp_path, check=True, **task)
    assert (r['changed'], r['added'], r['removed'], r['names']) == outcome
    assert sorted(os.listdir(inf)) == ['vnPrintList'] and calls(tmp_path) == ''
    r = run_module(monkeypatch, tmp_path, **task)
    assert (r['changed'], r['added'], r['removed'], r['names']) == outcome
    assert calls(tmp_path) == '-i $HOME\n-e lp0\n-e \n'  # passed as given, not expanded
    backup = Path(r['backup'])  # as lineinfile names it, and under its old name too
    assert (r['backup_file'], r['msg']) == (r['backup'], 'added 1 name and removed 2 names')
    assert backup.parent == inf and backup.read_bytes() == old and backup.stat().st_mode & 0o777 == 0o640
    r = run_module(monkeypatch, tmp_path, **task)
    assert (r['changed'], 'backup' in r, len(os.listdir(inf))) == (False, False, 2)


def test_exclusive_with_no_names_needs_allow_empty(monkeypatch, tmp_path, fake):
    (tmp_path / 'inf').mkdir()
    (tmp_path / 'inf' / 'vnPrintList').write_bytes(b'lp0\n\n')
    for check, name in ((True, []), (False, []), (False, '')):
        r = run_module(monkeypatch, tmp_path, check=check, name=name, exclusive=True, executable=fake())
        assert r['failed'] and 'would take every name off the list' in r['msg'] and 'allow_empty: true' in r['msg']
        assert (r['names'], calls(tmp_path)) == (['lp0', ''], '')
    r = run_module(monkeypatch, tmp_path, name=[], exclusive=True, allow_empty=True, executable=fake())
    assert (r.get('failed'), r['removed'], r['names'], calls(tmp_path)) == (None, ['lp0', ''], [], '-e lp0\n-e \n')


def test_a_check_run_where_printlist_is_not_yet(monkeypatch, tmp_path):
    task = dict(name='lp1', inf='gone', executable=str(tmp_path / 'none'))
    r = run_module(monkeypatch, tmp_path, check=True, diff=True, **task)
    assert (r.get('failed'), r['added'], r['names'], r['diff']['before_header'], r['diff']['after']) == (
        None, ['lp1'], ['lp1'], str(tmp_path / 'gone' / 'vnPrintList') + ' (no file)', 'lp1\n')
    said = ' '.join(get_warning_messages())
    assert 'printlist is not installed at' in said and 'gone does not exist' in said
    r = run_module(monkeypatch, tmp_path, **task)
    assert r['failed'] and 'not installed' in r['msg'] and (r['names'], r['list_exists']) == ([], False)
    # Nothing listed, nothing to remove: the same answer in check mode and for real, and why
    for check in (True, False):
        r = run_module(monkeypatch, tmp_path, check=check, name='lp1', state='absent', inf='gone',
                       executable=str(tmp_path / 'none'))
        assert (r.get('failed'), r['changed'], r['names'], r['list_exists']) == (None, False, [], False)
        assert r['msg'] == 'nothing to remove: there is no list, and so no need of printlist, which is not installed'


@contextlib.contextmanager
def as_nobody():
    os.setegid(NOBODY)
    os.seteuid(NOBODY)
    try:
        yield
    finally:
        os.seteuid(0)
        os.setegid(0)


@root_only
def test_without_root_the_task_says_become(monkeypatch):
    top = Path(tempfile.mkdtemp())
    top.chmod(0o755)
    (top / 'inf').mkdir()
    (top / 'inf' / 'vnPrintList').write_bytes(b'lp1\n')
    with as_nobody():
        runs = [run_module(monkeypatch, top, check=check, name=name, executable='/bin/true')
                for check, name in ((True, 'lp2'), (False, 'lp2'), (True, 'lp1'))]
    shutil.rmtree(top)
    for r in runs[:2]:
        assert (r['names'], r['list_exists']) == (['lp1'], True)  # read, though the task failed
        assert r.get('failed') and r['msg'] == (
            'run it as root (become: true): as nobody (uid 65534) the module cannot write the lock file %s/inf/'
            'vnPrintList.lock, which is not there and which only root may make, the list %s/inf/vnPrintList' % (top, top))
    assert (runs[2].get('failed'), runs[2]['changed'], runs[2]['names']) == (None, False, ['lp1'])


@root_only
def test_a_lock_file_others_may_write_counts_for_root_alone(tmp_path):
    inf = tmp_path / 'inf'
    inf.mkdir()
    (inf / 'vnPrintList').write_bytes(b'lp1\n')
    (inf / 'vnPrintList').chmod(0o644)
    (inf / 'vnPrintList.lock').touch()
    (inf / 'vnPrintList.lock').chmod(0o662)
    fd, st, trust = printlist.open_dir(str(inf))
    try:
        snapshot = printlist.read_locked(fd, st, 'vnPrintList', time.monotonic() + 5, trust)
        assert printlist.lock_refused(fd, trust, 'vnPrintList', snapshot) is None
        with as_nobody():
            assert 'trusts no journal in it' in printlist.lock_refused(fd, trust, 'vnPrintList', snapshot)
    finally:
        os.close(fd)
