#!/usr/bin/python
# -*- coding: utf-8 -*-

# Copyright: (c) 2026, the printlist developers
# MIT License (see LICENSE in the printlist source tree)

# The printlist module: predicts a change to the print list by the tool's own rules,
# has the installed printlist make it, and says what happened and why.

from __future__ import absolute_import, division, print_function
__metaclass__ = type


DOCUMENTATION = r'''
---
module: printlist
short_description: Put names on the print list or take them off
description:
  - Makes sure that names are on the print list C(/usr/local/Varnolt/inf/vnPrintList), one name
    a line, or that they are not, by calling the C(printlist) tool installed on the host.
  - C(printlist) prints nothing and always exits 0, so the module reads the list before and after
    the call and reports what changed, and why when a name is not in the asked state.
  - In check mode the module only reads the list and predicts the change by the tool's rules, which
    are whole lines, byte for byte; a last line without a line feed; empty lines and the empty name;
    an emptied list deleted, or kept empty where it is a symbolic link or has other hard links.
  - The module never writes the list itself. It reads it as the tool does, following a symbolic
    link only where the link belongs to root or to the owner of the directory that holds it,
    and opening nothing but regular files, while it holds a shared C(flock) on the list's
    directory.
options:
  name:
    description:
      - A name, or a list of names.
      - A name is taken whole, so a string holding a comma is one name, not two.
      - An empty string is a name, and matches empty lines.
      - A name holding a line feed or a zero byte fails the task before anything runs.
    type: list
    elements: str
    required: true
  state:
    description:
      - C(present) adds each name not listed yet as the last line; C(absent) removes every line
        equal to each name, and the list is deleted once no line is left.
    type: str
    choices: [ absent, present ]
    default: present
  timeout:
    description:
      - Seconds the whole task may take, waiting for the list's directory lock and for each call
        of C(printlist), which waits for the writers' lock as long as another run holds it.
    type: int
    default: 30
  executable:
    description:
      - The path of C(printlist).
      - By default it is looked for in C(PATH), then in C(/usr/local/bin) and C(/usr/bin).
    type: path
extends_documentation_fragment:
  - ansible.builtin.action_common_attributes
attributes:
  check_mode:
    support: full
  diff_mode:
    support: full
  platform:
    platforms: posix
requirements:
  - C(printlist) installed on the managed host, and the list's directory C(/usr/local/Varnolt/inf).
  - Python 3 on the managed host.
notes:
  - Run it as root (C(become)), as C(printlist) is run.
  - C(changed) is judged by the names asked for, not by the bytes of the list, since other runs may
    change the list at the same time.
  - With diff, lines that are not UTF-8 or hold zero bytes or other control characters are shown
    escaped, and a list of more than 100 lines is cut down to the lines around the change.
  - A full disk or a foreign lock file cannot be foreseen in check mode.
author:
  - The printlist developers
'''

EXAMPLES = r'''
- name: Put two printers on the print list
  varnolt.printlist.printlist:
    name:
      - lp1
      - lp2
  become: true

- name: A name with a comma is one name
  varnolt.printlist.printlist:
    name: "Hall A, floor 2"

- name: Take a printer off the list, waiting a minute at most
  varnolt.printlist.printlist:
    name: lp3
    state: absent
    timeout: 60

- name: Use a printlist outside PATH
  varnolt.printlist.printlist:
    name: lp1
    executable: /opt/printlist/bin/printlist
'''

RETURN = r'''
added:
  description: The names that were not listed before the task and are now (in check mode, would be).
  returned: always
  type: list
  elements: str
  sample: [ lp1 ]
removed:
  description: The names that were listed before the task and are not now (in check mode, would not be).
  returned: always
  type: list
  elements: str
  sample: [ lp3 ]
list_exists:
  description: Whether the list file is there after the task (in check mode, would be).
  returned: always
  type: bool
  sample: true
'''

import errno
import fcntl
import os
import pwd
import signal
import stat
import subprocess
import time
import difflib

from ansible.module_utils.basic import AnsibleModule
from ansible.module_utils.common.text.converters import to_bytes, to_text

LIST_PATH = '/usr/local/Varnolt/inf/vnPrintList'
LOCK_SUFFIX = '.lock'
MAX_LINKS = 40  # as many as the kernel follows in one lookup
DIFF_LINES = 100  # a list longer than this is shown around its changes only
DIFF_CONTEXT = 3

O_PATH = getattr(os, 'O_PATH', 0o10000000)


class ListError(Exception):
    """A reason the list cannot be read or changed, said as the task's msg."""


class Refused(ListError):
    """A symbolic link the tool would not follow."""


class TimedOut(ListError):
    """printlist did not finish in the time given."""


class Found(object):
    def __init__(self, fd, st):
        self.fd = fd
        self.st = st


class Missing(object):
    """Nothing at the last name: where a new file would be made, through dir_fd."""

    def __init__(self, dir_fd, name):
        self.dir_fd = dir_fd
        self.name = name


def fd_path(fd):
    try:
        return os.readlink('/proc/self/fd/%d' % fd)
    except OSError:
        return '?'


def user_name(uid):
    try:
        return '%s (uid %d)' % (pwd.getpwuid(uid).pw_name, uid)
    except KeyError:
        return 'uid %d' % uid


def close(fd):
    if fd is not None:
        os.close(fd)


def walk(path, at=None):
    """Opens path one name at a time as O_PATH descriptors, as printlist resolves its list.

    A symbolic link is followed only where the kernel's protected_symlinks rule would in a
    sticky directory: when root (the caller) or the owner of the directory holding it owns
    it. Returns Found, or Missing when only the last name is not there; raises Refused for
    a link not followed, OSError otherwise.
    """
    left = to_bytes(path, errors='surrogate_or_strict')
    if not left:
        raise OSError(errno.ENOENT, 'empty path')
    cur = None  # this walk's own descriptor; until then names are taken from at
    links = 0
    fresh = True
    try:
        while True:
            if fresh and left.startswith(b'/'):
                close(cur)
                cur = None
                cur = os.open('/', O_PATH | os.O_DIRECTORY | os.O_CLOEXEC)
            fresh = False
            left = left.lstrip(b'/')
            if not left:
                found, cur = Found(cur, os.fstat(cur)), None
                return found
            name, slash, left = left.partition(b'/')
            dir_fd = cur if cur is not None else at
            try:
                nxt = os.open(name, O_PATH | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=dir_fd)
            except FileNotFoundError:
                if left.strip(b'/'):
                    raise
                if cur is None:
                    cur = os.dup(at) if at is not None else os.open('.', O_PATH | os.O_DIRECTORY | os.O_CLOEXEC)
                missing = Missing(cur, name)
                cur = None
                return missing
            st = os.fstat(nxt)
            if not stat.S_ISLNK(st.st_mode):
                close(cur)
                cur = nxt
                continue
            try:
                links += 1
                if links > MAX_LINKS:
                    raise OSError(errno.ELOOP, 'more than %d symbolic links' % MAX_LINKS)
                owner = os.fstat(dir_fd).st_uid if dir_fd is not None else os.stat('.').st_uid
                if st.st_uid not in (os.geteuid(), owner):
                    raise Refused('%s/%s is a symbolic link owned by %s, in a directory owned by %s: '
                                  'printlist follows only links of root or of the directory\'s owner'
                                  % (fd_path(dir_fd) if dir_fd is not None else '.', to_text(name, errors='surrogate_or_strict'),
                                     user_name(st.st_uid), user_name(owner)))
                target = os.readlink(b'', dir_fd=nxt)
            finally:
                os.close(nxt)
            if not target:
                raise OSError(errno.ENOENT, 'an empty symbolic link')
            left = target + slash + left
            fresh = True
    except BaseException:
        close(cur)
        raise


def kind(st):
    for test, what in ((stat.S_ISDIR, 'a directory'), (stat.S_ISFIFO, 'a FIFO'), (stat.S_ISSOCK, 'a socket'),
                       (stat.S_ISCHR, 'a character device'), (stat.S_ISBLK, 'a block device')):
        if test(st.st_mode):
            return what
    return 'not a regular file'


def open_dir(dir_path):
    """The list's directory as an O_PATH descriptor, reached as the tool reaches it."""
    try:
        found = walk(dir_path)
    except Refused as e:
        raise ListError('the list\'s directory %s cannot be reached: %s' % (dir_path, e))
    except OSError as e:
        if e.errno in (errno.ENOENT, errno.ENOTDIR):
            found = None
        else:
            raise ListError('the list\'s directory %s cannot be reached: %s' % (dir_path, os.strerror(e.errno)))
    if isinstance(found, Missing):
        os.close(found.dir_fd)
        found = None
    if found is None:
        raise ListError('the list\'s directory %s does not exist: printlist never creates it '
                        '(installing the package or `cmake --install` does)' % dir_path)
    if not stat.S_ISDIR(found.st.st_mode):
        os.close(found.fd)
        raise ListError('the list\'s directory %s is %s' % (dir_path, kind(found.st)))
    return found.fd, found.st


class Snapshot(object):
    """The list as read: data is its bytes, or None where there is no list."""

    def __init__(self, data, deletable, new_at=None):
        self.data = data
        self.deletable = deletable  # an emptied list goes, not kept empty in place
        self.new_at = new_at  # where an add makes the list, when a link points there


def reopen(path_fd, st):
    """Opens the regular file behind an O_PATH descriptor for reading, never anything else."""
    fd = os.open('/proc/self/fd/%d' % path_fd, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK | os.O_CLOEXEC)
    got = os.fstat(fd)
    if (got.st_dev, got.st_ino) != (st.st_dev, st.st_ino) or not stat.S_ISREG(got.st_mode):
        os.close(fd)
        raise OSError(errno.EAGAIN, 'the list was replaced while it was read')
    return fd


def read_all(fd):
    chunks = []
    while True:
        chunk = os.read(fd, 1 << 20)
        if not chunk:
            return b''.join(chunks)
        chunks.append(chunk)


def read_list(dir_fd, list_name):
    """Reads the list in the directory dir_fd (an O_PATH descriptor) as the tool would load it."""
    shown = os.path.join(fd_path(dir_fd), list_name)
    try:
        found = walk(list_name, at=dir_fd)
    except Refused as e:
        raise ListError('the list %s is not read: %s' % (shown, e))
    except OSError as e:
        if e.errno == errno.ENOENT:  # a link into a directory that is not there: no list
            return Snapshot(None, False, new_at=None)
        raise ListError('the list %s cannot be reached: %s' % (shown, os.strerror(e.errno)))
    if isinstance(found, Missing):
        try:
            where = os.path.join(fd_path(found.dir_fd), to_text(found.name, errors='surrogate_or_strict'))
        finally:
            os.close(found.dir_fd)
        return Snapshot(None, False, new_at=where)
    try:
        if not stat.S_ISREG(found.st.st_mode):
            raise ListError('the list %s is %s, not a regular file: printlist leaves it alone' % (shown, kind(found.st)))
        try:
            fd = reopen(found.fd, found.st)
        except OSError as e:
            hint = ''
            if e.errno == errno.EACCES and os.geteuid():
                hint = ' (run the task as root: become: true)'
            elif not os.path.isdir('/proc/self/fd'):
                hint = ' (/proc is not mounted: the list is opened through it, as printlist opens it)'
            raise ListError('the list %s cannot be read: %s%s' % (shown, e.strerror or e, hint))
        try:
            data = read_all(fd)
        finally:
            os.close(fd)
        try:
            named = os.stat(list_name, dir_fd=dir_fd, follow_symlinks=False)
        except OSError:
            named = None
        deletable = (named is not None and stat.S_ISREG(named.st_mode) and named.st_nlink == 1
                     and (named.st_dev, named.st_ino) == (found.st.st_dev, found.st.st_ino))
        return Snapshot(data, deletable)
    finally:
        os.close(found.fd)


def lock_holders(st):
    """The processes that hold a lock on the file st is of, as /proc/locks tells them."""
    holders = []
    try:
        with open('/proc/locks') as locks:
            for line in locks:
                fields = line.split()
                if len(fields) < 6 or fields[1] == '->':
                    continue
                major, minor, ino = fields[5].split(':')
                if int(ino) == st.st_ino and os.makedev(int(major, 16), int(minor, 16)) == st.st_dev:
                    pid = int(fields[4])
                    try:
                        with open('/proc/%d/cmdline' % pid, 'rb') as f:
                            cmd = f.read().replace(b'\0', b' ').strip()
                        holders.append('%d (%s)' % (pid, to_text(cmd, errors='surrogate_or_replace')))
                    except OSError:
                        holders.append(str(pid))
    except (OSError, ValueError):
        pass
    return holders


def read_locked(dir_fd, dir_st, list_name, deadline):
    """Reads the list holding a shared lock on its directory, as a reader does."""
    lock_fd = os.open('.', os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC, dir_fd=dir_fd)
    try:
        delay = 0.01
        while True:
            try:
                fcntl.flock(lock_fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                if time.monotonic() >= deadline:
                    who = lock_holders(dir_st)
                    raise ListError('timed out waiting for a shared lock on the list\'s directory %s%s'
                                    % (fd_path(dir_fd), ', held by ' + ', '.join(who) if who else ''))
                time.sleep(min(delay, max(0, deadline - time.monotonic())))
                delay = min(delay * 2, 0.2)
        return read_list(dir_fd, list_name)
    finally:
        os.close(lock_fd)


def split_lines(data):
    """The list's lines as the tool sees them: split at line feeds only; a last line without
    one is a line."""
    if not data:
        return [], True
    lines = data.split(b'\n')
    ends_in_newline = lines[-1] == b''
    if ends_in_newline:
        lines.pop()
    return lines, ends_in_newline


def apply_change(data, name, state, deletable):
    """What one run of printlist makes of the list data (None: no list) for one name."""
    lines, _ = split_lines(data)
    if state == 'present':
        if name in lines:
            return data
        data = data or b''
        if data and not data.endswith(b'\n'):
            data += b'\n'
        return data + name + b'\n'
    if name not in lines:
        return data
    kept = [line for line in lines if line != name]
    if not kept:
        return None if deletable else b''
    return b''.join(line + b'\n' for line in kept)


def predict(data, names, state, deletable=True):
    """The list after a run for each name in turn."""
    for name in names:
        data = apply_change(data, name, state, deletable)
    return data


def is_listed(data, name):
    return name in split_lines(data)[0]


def show_line(line):
    """A line as text for the diff, escaped where it is not plain UTF-8 text."""
    try:
        text = line.decode('utf-8')
    except UnicodeDecodeError:
        text = None
    if text is not None and all(c == '\t' or c.isprintable() for c in text):
        return text
    out = []
    for c in line.decode('utf-8', 'surrogateescape'):
        if '\udc80' <= c <= '\udcff':
            out.append('\\x%02x' % (ord(c) - 0xdc00))
        elif c == '\\':
            out.append('\\\\')
        elif c == '\t' or c.isprintable():
            out.append(c)
        elif ord(c) < 0x80:
            out.append('\\x%02x' % ord(c))
        else:  # a code point, told apart from a byte that is not UTF-8
            out.append('\\u%04x' % ord(c) if ord(c) <= 0xffff else '\\U%08x' % ord(c))
    return ''.join(out)


def diff_lines(data):
    """The list as lines for the diff, each with its line feed, the last perhaps without."""
    if not data:
        return []
    lines = data.split(b'\n')
    last = lines.pop()
    shown = [show_line(line) + '\n' for line in lines]
    if last:
        shown.append(show_line(last))
    return shown


def list_diff(before, after, header):
    """The diff dict of before and after (bytes or None), a long list cut to its changes."""
    old, new = diff_lines(before), diff_lines(after)
    if max(len(old), len(new)) > DIFF_LINES:
        cut_old, cut_new = [], []
        i = j = 0
        for group in difflib.SequenceMatcher(None, old, new, autojunk=False).get_grouped_opcodes(DIFF_CONTEXT):
            i1, j1 = group[0][1], group[0][3]
            if i1 > i:
                skipped = '[%d lines not shown]\n' % (i1 - i)
                cut_old.append(skipped)
                cut_new.append(skipped)
            i2, j2 = group[-1][2], group[-1][4]
            cut_old += old[i1:i2]
            cut_new += new[j1:j2]
            i, j = i2, j2
        if i < len(old):
            skipped = '[%d lines not shown]\n' % (len(old) - i)
            cut_old.append(skipped)
            cut_new.append(skipped)
        old, new = cut_old, cut_new
    return {
        'before': ''.join(old),
        'after': ''.join(new),
        'before_header': header + ('' if before is not None else ' (no file)'),
        'after_header': header + ('' if after is not None else ' (no file)'),
    }


def find_printlist(executable):
    if executable:
        if os.path.isfile(executable) and os.access(executable, os.X_OK):
            return executable
        raise ListError('printlist is not installed at %s' % executable)
    dirs = [d for d in os.environ.get('PATH', '').split(os.pathsep) if d] + ['/usr/local/bin', '/usr/bin']
    for d in dirs:
        path = os.path.join(d, 'printlist')
        if os.path.isfile(path) and os.access(path, os.X_OK):
            return path
    raise ListError('printlist is not installed: it is in none of %s (install the printlist package, '
                    'or set executable)' % ', '.join(dict.fromkeys(dirs)))


def run_printlist(exe, option, name, deadline):
    """Runs printlist once; it is silent and exits 0, so anything else is a fault."""
    shown = '%s %s %r' % (exe, option, to_text(name, errors='surrogate_or_strict'))
    remaining = deadline - time.monotonic()
    try:
        proc = subprocess.Popen([exe, option, name], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, close_fds=True)
    except OSError as e:
        raise ListError('%s cannot be run: %s' % (shown, e.strerror or e))
    try:
        out, _ = proc.communicate(timeout=max(remaining, 0.1))
    except subprocess.TimeoutExpired:
        # SIGTERM, which printlist holds off while it changes the list: the list stays whole.
        proc.send_signal(signal.SIGTERM)
        try:
            proc.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            pass
        raise TimedOut('timed out: %s did not finish in time; it waits for the writers\' lock as long as '
                       'another run holds it' % shown)
    if proc.returncode != 0 or out:
        raise ListError('%s exited with status %d%s: is that printlist?'
                        % (shown, proc.returncode, ', saying ' + to_text(out[:500], errors='surrogate_or_replace').strip() if out else ''))


def why_not(dir_fd, dir_st, list_name, state, snapshot):
    """What can be seen of why a run left a name not in the asked state."""
    shown = fd_path(dir_fd)
    lock_name = list_name + LOCK_SUFFIX
    try:
        found = walk(lock_name, at=dir_fd)
    except Refused as e:
        return 'the lock file is not used: %s' % e
    except OSError:
        found = None
    if isinstance(found, Found):
        try:
            if not stat.S_ISREG(found.st.st_mode):
                return 'the lock file %s/%s is %s, so printlist changes nothing' % (shown, lock_name, kind(found.st))
            if found.st.st_uid not in (0, dir_st.st_uid):
                return ('the lock file %s/%s is owned by %s, neither root nor the directory\'s owner, so printlist '
                        'does not trust it and changes nothing' % (shown, lock_name, user_name(found.st.st_uid)))
        finally:
            os.close(found.fd)
    elif isinstance(found, Missing):
        os.close(found.dir_fd)
    if state == 'present' and snapshot.data is None and snapshot.new_at and snapshot.new_at != os.path.join(shown, list_name):
        return ('the list is a symbolic link to %s, which is not there, and this printlist did not create it'
                % snapshot.new_at)
    try:
        vfs = os.statvfs('/proc/self/fd/%d' % dir_fd)
        if vfs.f_flag & os.ST_RDONLY:
            return 'the file system of %s is read-only' % shown
        if state == 'present' and vfs.f_bavail == 0:
            return 'the file system of %s is full' % shown
    except OSError:
        pass
    return 'printlist left it so; another run may have changed the list at the same time'


def normalise_names(module, value):
    """The names as bytes, each whole: a plain string is one name, commas and all."""
    items = value if isinstance(value, (list, tuple)) else [value]
    names = []
    for item in items:
        if isinstance(item, bool) or item is None or isinstance(item, (dict, list, tuple)):
            module.fail_json(msg='name must be a string or a list of strings, not %r' % (item,))
        text = item if isinstance(item, (str, bytes)) else str(item)
        name = to_bytes(text, errors='surrogate_or_strict')
        for byte, what in ((b'\n', 'a line feed'), (b'\0', 'a zero byte')):
            if byte in name:
                module.fail_json(msg='the name %r holds %s: printlist takes one line as a name' % (to_text(text), what))
        if name not in names:
            names.append(name)
    return names


def main():
    module = AnsibleModule(
        argument_spec=dict(
            name=dict(type='raw', required=True),
            state=dict(type='str', default='present', choices=['absent', 'present']),
            timeout=dict(type='int', default=30),
            executable=dict(type='path'),
        ),
        supports_check_mode=True,
    )
    names = normalise_names(module, module.params['name'])
    state = module.params['state']
    if module.params['timeout'] <= 0:
        module.fail_json(msg='timeout must be more than 0 seconds')
    deadline = time.monotonic() + module.params['timeout']
    list_dir, list_name = os.path.split(LIST_PATH)
    result = dict(changed=False, added=[], removed=[])

    def fail(msg, **extra):
        result.update(extra)
        module.fail_json(msg=msg, **result)

    try:
        exe = find_printlist(module.params['executable'])
        dir_fd, dir_st = open_dir(list_dir)
    except ListError as e:
        fail(str(e))
    try:
        try:
            before = read_locked(dir_fd, dir_st, list_name, deadline)
        except ListError as e:
            fail(str(e))
        wanted = state == 'present'
        todo = [n for n in names if is_listed(before.data, n) != wanted]
        if wanted and todo and before.data is None and before.new_at is None:
            fail('the list %s is a symbolic link into a directory that is not there: printlist cannot create it'
                 % LIST_PATH)
        if module.check_mode:
            after = Snapshot(predict(before.data, todo, state, before.deletable), False)
        else:
            try:
                for name in todo:
                    run_printlist(exe, '-i' if wanted else '-e', name, deadline)
                after = read_locked(dir_fd, dir_st, list_name, deadline)
            except TimedOut as e:
                try:
                    who = lock_holders(os.stat(list_name + LOCK_SUFFIX, dir_fd=dir_fd, follow_symlinks=False))
                except OSError:
                    who = []
                fail(str(e) + (' (the lock is held by %s)' % ', '.join(who) if who else ''))
            except ListError as e:
                fail(str(e))
        done = [n for n in todo if is_listed(after.data, n) == wanted]
        shown = [to_text(n, errors='surrogate_or_strict') for n in done]
        result.update(changed=bool(done), added=shown if wanted else [], removed=[] if wanted else shown,
                      list_exists=after.data is not None)
        if module._diff:
            result['diff'] = list_diff(before.data, after.data, LIST_PATH)
        missed = [n for n in todo if n not in done]
        if missed:
            fail('%s %s %s after printlist ran: %s' % (
                ', '.join(repr(to_text(n, errors='surrogate_or_strict')) for n in missed),
                'is' if len(missed) == 1 else 'are', 'not listed' if wanted else 'still listed',
                why_not(dir_fd, dir_st, list_name, state, before)))
    finally:
        os.close(dir_fd)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
