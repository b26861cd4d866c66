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
  - The module never writes the list itself. It reads it as the tool does, one name at a time,
    opening nothing but regular files, while it holds a shared C(flock) on the list's directory.
    Privilege never rises along the path; root's path is trusted until it passes a directory
    or symbolic link of another user, and from there only that user's files count, so a link of
    that user to an absolute path is not followed.
options:
  name:
    description:
      - A name, or a list of names.
      - A name is taken whole, so a string holding a comma is one name, not two. That is why
        the option takes any type rather than a list, which Ansible would split at commas.
      - An empty string is a name, and matches empty lines.
      - A name holding a line feed or a zero byte fails the task before anything runs.
    type: raw
    required: true
  state:
    description:
      - C(present) adds each name not listed yet as the last line; C(absent) removes every line
        equal to each name, and the list is deleted once no line is left.
    type: str
    choices: [ absent, present ]
    default: present
  exclusive:
    description:
      - With C(state=present), the list holds exactly the names given after the task. The module
        adds the missing names, then removes every other line, each through C(printlist), so the
        tool's rules and locks hold for every change.
      - Lines of a name given stay as they are, also where one is listed twice.
      - An empty line is the empty name, and goes unless C('') is among the names.
      - A line holding a zero byte cannot be given to C(printlist) as a name, so it stays, with
        a warning.
    type: bool
    default: false
  allow_empty:
    description:
      - With C(exclusive), lets a name list that is empty, or holds only the empty name, take every
        name off the list. Without it such a task fails, since a variable that came out empty would
        otherwise empty the list of every host.
    type: bool
    default: false
  backup:
    description:
      - Before its first call of C(printlist), the module copies the list to a file beside it
        named after the list, the process and the time (C(vnPrintList.PID.YYYY-MM-DD@HH:MM:SS~)),
        with the list's owner and mode, as M(ansible.builtin.lineinfile) does, and returns its path
        as C(backup). A task that changes nothing, or finds no list, makes no copy; check mode
        never makes one.
    type: bool
    default: false
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
  - C(printlist) installed on the managed host, and the list's directory C(/usr/local/Varnolt/inf);
    check mode does without both, see the notes.
  - Python 3 on the managed host.
notes:
  - "Run it as root (C(become)), as C(printlist) is run. Where a change is due and the module
    cannot write the list, its lock file or its directory, the task fails, in check mode too,
    with C(run it as root (become: true)) and what it could not write."
  - In check mode, on a host where C(printlist) or the list's directory is not there yet (its
    package is installed by an earlier task of the same play), the module predicts the change
    from an absent list and warns that a real run needs them. A task with nothing to do, as
    C(state=absent) where nothing is listed, needs neither, in check mode and for real.
  - C(changed) is judged by the names asked for, not by the bytes of the list, since other runs may
    change the list at the same time.
  - With diff, lines that are not UTF-8 or hold zero bytes or other control characters are shown
    escaped, and a list of more than 100 lines is cut down to the lines around the change.
  - Check mode fails where printlist would not use the lock file, as a real run would change nothing;
    a full disk cannot be foreseen. Without root, that includes a lock file that others than those who
    may change the list could write. A run of root waits at most 10 seconds for a lock file that others
    can open; where it was held longer, the failed task says by whom.
author:
  - The printlist developers (@varnolt)
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
  become: true

- name: Take a printer off the list, waiting a minute at most
  varnolt.printlist.printlist:
    name: lp3
    state: absent
    timeout: 60
  become: true

- name: These printers and no other, keeping a copy of the list as it was
  varnolt.printlist.printlist:
    name: [lp1, lp2]
    exclusive: true
    backup: true
  become: true
  register: printers

- name: Say what it did, and where the copy is
  ansible.builtin.debug:
    msg: "{{ printers.msg }}; the copy: {{ printers.backup | default('none, as nothing changed') }}"

- name: Use the packaged printlist, also where a source build in /usr/local/bin comes first in PATH
  varnolt.printlist.printlist:
    name: lp1
    executable: /usr/bin/printlist
  become: true
'''

RETURN = r'''
added:
  description: The names that were not listed before the task and are now (in check mode, would be).
  returned: always
  type: list
  elements: str
  sample: [ lp1 ]
removed:
  description: The names that were listed before the task and are not now (in check mode, would not be); with C(exclusive), every line removed.
  returned: always
  type: list
  elements: str
  sample: [ lp3 ]
names:
  description:
    - The list's lines after the task (in check mode, as predicted), in order; empty where there is no list.
    - A failed task returns the lines as last read, so also where it failed before any change.
  returned: wherever the list could be read, failed tasks too
  type: list
  elements: str
  sample: [ lp1, lp2 ]
list_exists:
  description: Whether the list file is there after the task (in check mode, would be); for a failed task, as last read.
  returned: wherever the list could be read, failed tasks too
  type: bool
  sample: true
backup:
  description: The copy of the list that C(backup) made, as M(ansible.builtin.lineinfile) returns it.
  returned: when a copy was made
  type: str
  sample: /usr/local/Varnolt/inf/vnPrintList.2172.2026-12-09@13:40:02~
backup_file:
  description: The same path as C(backup), under the name that earlier releases of this module returned it.
  returned: when a copy was made
  type: str
  sample: /usr/local/Varnolt/inf/vnPrintList.2172.2026-12-09@13:40:02~
msg:
  description: What the task did (in check mode, would do), or why it had nothing to do.
  returned: always
  type: str
  sample: added 1 name and removed 2 names
'''

import errno
import fcntl
import os
import pwd
import stat
import time
import difflib

from ansible.module_utils.basic import AnsibleModule
from ansible.module_utils.common.text.converters import to_bytes, to_text

LIST_PATH = '/usr/local/Varnolt/inf/vnPrintList'
LOCK_SUFFIX = '.lock'
MAX_LINKS = 40  # as many as the kernel follows in one lookup
DIFF_LINES = 100  # a list longer than this is shown around its changes only
DIFF_CONTEXT = 3
TIMED_OUT = 124  # timeout(1)'s status when it stopped the command

O_PATH = getattr(os, 'O_PATH', 0o10000000)


class ListError(Exception):
    """A reason the list cannot be read or changed, said as the task's msg."""


class Refused(ListError):
    """A symbolic link the tool would not follow."""


class NoDirectory(ListError):
    """The list's directory is not there: no printlist was installed yet."""


class TimedOut(ListError):
    """printlist did not finish in the time given."""


class Found(object):
    def __init__(self, fd, st, trust):
        self.fd = fd
        self.st = st
        self.trust = trust  # whose files the walk trusts past this one: 0 (root) or a user


class Missing(object):
    """Nothing at the last name: where a new file would be made, through dir_fd."""

    def __init__(self, dir_fd, name, trust):
        self.dir_fd = dir_fd
        self.name = name
        self.trust = trust


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


def trusted(trust, st, shown):
    """The walk's trust once past st: privilege never rises. Root's path stays root's until
    it passes something of a user U; from then on only U's own files are taken."""
    if trust and st.st_uid != trust:
        raise Refused('%s is owned by %s, past a directory or link of %s: printlist trusts only root\'s files on '
                      'root\'s path, and past a user\'s directory or link only that user\'s'
                      % (shown, user_name(st.st_uid), user_name(trust)))
    return trust or st.st_uid


def walk(path, at=None, trust=0):
    """Opens path one name at a time as O_PATH descriptors, as printlist resolves its list.

    Every directory, link and the file found must pass trusted(); an absolute link target
    starts again at "/", which is root's, so a user's link to one is refused. Returns Found,
    or Missing when only the last name is not there; raises Refused for a name not taken,
    OSError otherwise.
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
                trust = trusted(trust, os.fstat(cur), '/')
            fresh = False
            left = left.lstrip(b'/')
            if not left:
                found, cur = Found(cur, os.fstat(cur), trust), None
                return found
            name, slash, left = left.partition(b'/')
            dir_fd = cur if cur is not None else at
            shown = os.path.join(fd_path(dir_fd) if dir_fd is not None else '.', to_text(name, errors='surrogate_or_strict'))
            try:
                nxt = os.open(name, O_PATH | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=dir_fd)
            except FileNotFoundError:
                if left.strip(b'/'):
                    raise
                if cur is None:
                    cur = os.dup(at) if at is not None else os.open('.', O_PATH | os.O_DIRECTORY | os.O_CLOEXEC)
                missing = Missing(cur, name, trust)
                cur = None
                return missing
            st = os.fstat(nxt)
            try:
                trust = trusted(trust, st, shown)
            except Refused:
                os.close(nxt)
                raise
            if not stat.S_ISLNK(st.st_mode):
                close(cur)
                cur = nxt
                continue
            try:
                links += 1
                if links > MAX_LINKS:
                    raise OSError(errno.ELOOP, 'more than %d symbolic links' % MAX_LINKS)
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
    """The list's directory as an O_PATH descriptor, its stat and whose files the walk
    trusts in it, reached as the tool reaches it."""
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
        raise NoDirectory('the list\'s directory %s does not exist: printlist never creates it '
                          '(installing the package or `cmake --install` does)' % dir_path)
    if not stat.S_ISDIR(found.st.st_mode):
        os.close(found.fd)
        raise ListError('the list\'s directory %s is %s' % (dir_path, kind(found.st)))
    return found.fd, found.st, found.trust


class Snapshot(object):
    """The list as read: data is its bytes, or None where there is no list."""

    def __init__(self, data, deletable, new_at=None, st=None, writable=True):
        self.data = data
        self.deletable = deletable  # an emptied list goes, not kept empty in place
        self.new_at = new_at  # where an add makes the list, when a link points there
        self.st = st  # the list's stat, for its backup's owner and mode
        self.writable = writable  # whether this caller may write it


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


def may_write(fd, mode=os.W_OK):
    """Whether this caller may write the file behind an O_PATH descriptor."""
    return os.access('/proc/self/fd/%d' % fd, mode, effective_ids=True)


def read_list(dir_fd, list_name, trust=0):
    """Reads the list in the directory dir_fd (an O_PATH descriptor) as the tool would load it."""
    shown = os.path.join(fd_path(dir_fd), list_name)
    try:
        found = walk(list_name, at=dir_fd, trust=trust)
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
        held_in = os.stat(os.path.dirname(fd_path(found.fd)))
        if found.st.st_nlink > 1 and held_in.st_mode & (stat.S_IWGRP | stat.S_IWOTH):
            raise ListError('the list %s has %d hard links in a directory others may write: printlist leaves it alone, '
                            'since another user may have made one' % (shown, found.st.st_nlink))
        try:
            fd = reopen(found.fd, found.st)
        except OSError as e:
            hint = ''
            if e.errno == errno.EACCES and os.geteuid():
                hint = ' (run it as root (become: true))'
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
        return Snapshot(data, deletable, st=found.st, writable=may_write(found.fd))
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


def read_locked(dir_fd, dir_st, list_name, deadline, trust=0):
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
        return read_list(dir_fd, list_name, trust)
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
    lines = split_lines(data)[0]
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


def run_printlist(module, exe, option, name, deadline):
    """Runs printlist once; it is silent and exits 0, so anything else is a fault. timeout(1)
    bounds it with SIGTERM, which printlist holds off while it changes the list, so the list
    stays whole."""
    shown = '%s %s %r' % (exe, option, to_text(name, errors='surrogate_or_strict'))
    remaining = '%.3f' % max(deadline - time.monotonic(), 0.1)
    rc, out, err = module.run_command([module.get_bin_path('timeout', required=True), '-s', 'TERM', remaining,
                                       exe, option, name], expand_user_and_vars=False)
    if rc == TIMED_OUT:
        raise TimedOut('timed out: %s did not finish in time; it waits for the writers\' lock as long as '
                       'another run holds it' % shown)
    said = (to_text(out, errors='surrogate_or_replace') + to_text(err, errors='surrogate_or_replace')).strip()
    if rc != 0 or said:
        raise ListError('%s exited with status %d%s: is that printlist?' % (shown, rc, ', saying ' + said[:500] if said else ''))


def lock_problem(found, snapshot, trust):
    """Why a lock file found would not count, or None where it does."""
    st = found.st
    if not stat.S_ISREG(st.st_mode):
        return 'is %s' % kind(st)
    if st.st_nlink != 1:
        return 'has %d hard links' % st.st_nlink
    if snapshot.st is not None and (st.st_dev, st.st_ino) == (snapshot.st.st_dev, snapshot.st.st_ino):
        return 'is the list itself'
    owners = (0, snapshot.st.st_uid) if snapshot.st is not None else (0, trust)
    if st.st_uid not in owners:
        return ('is owned by %s, neither root nor %s, so printlist does not trust it'
                % (user_name(st.st_uid), 'the list\'s owner' if snapshot.st is not None else 'the owner of its path'))
    if os.geteuid() != 0 and st.st_mode & 0o022 & ~allowed_mode(st, snapshot):
        return ('lets others than those who may change the list write it, so printlist trusts no journal in it '
                'and only a run of root, which replaces it, changes the list')
    return None


def allowed_mode(lock_st, snapshot):
    """The rights a lock file may grant: its owner's, and those of the list's group or of
    everyone where the list lets them write it."""
    keep = 0o700
    if snapshot.st is not None and snapshot.st.st_mode & stat.S_IWGRP and lock_st.st_gid == snapshot.st.st_gid:
        keep |= 0o070
    if snapshot.st is not None and snapshot.st.st_mode & stat.S_IWOTH:
        keep |= 0o007
    return keep


def held_too_long(dir_fd, list_name):
    """Who held a lock file others can open for longer than a run of root waits for it."""
    try:
        st = os.stat(list_name + LOCK_SUFFIX, dir_fd=dir_fd, follow_symlinks=False)
    except OSError:
        return None
    if os.geteuid() != 0 or (st.st_uid == 0 and st.st_nlink == 1 and not st.st_mode & 0o077):
        return None
    who = lock_holders(st)
    if not who:
        return None
    return ('the lock file %s/%s%s, which others can open, is held by %s, and a run of root waits no longer '
            'than 10 seconds for such a file' % (fd_path(dir_fd), list_name, LOCK_SUFFIX, ', '.join(who)))


def lock_refused(dir_fd, trust, list_name, snapshot):
    """Why printlist would not use the lock file there, so change nothing; None where it would."""
    lock_name = list_name + LOCK_SUFFIX
    try:
        found = walk(lock_name, at=dir_fd, trust=trust)
    except Refused as e:
        return 'the lock file is not used: %s' % e
    except OSError:
        return None
    if isinstance(found, Missing):
        os.close(found.dir_fd)
        return None
    try:
        problem = lock_problem(found, snapshot, trust)
    finally:
        os.close(found.fd)
    if problem:
        return 'the lock file %s/%s %s, so printlist changes nothing' % (fd_path(dir_fd), lock_name, problem)
    return None


def why_not(dir_fd, trust, list_name, state, snapshot):
    """What can be seen of why a run left a name not in the asked state."""
    shown = fd_path(dir_fd)
    refused = lock_refused(dir_fd, trust, list_name, snapshot) or held_too_long(dir_fd, list_name)
    if refused:
        return refused
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


def unwritable(dir_fd, trust, list_name, before, creates, deletes):
    """What a caller who is not root could not write of what the change needs."""
    euid = os.geteuid()
    if euid == 0:
        return []
    shown = fd_path(dir_fd)
    lacks = []
    try:
        found = walk(list_name + LOCK_SUFFIX, at=dir_fd, trust=trust)
    except OSError:
        found = None  # refused or odd: why_not says so after the run
    if isinstance(found, Found):
        if not may_write(found.fd):
            lacks.append('the lock file %s/%s%s' % (shown, list_name, LOCK_SUFFIX))
        os.close(found.fd)
    elif isinstance(found, Missing):
        os.close(found.dir_fd)
        if euid != trust:
            lacks.append('the lock file %s/%s%s, which is not there and which only %s may make'
                         % (shown, list_name, LOCK_SUFFIX, 'root' if not trust else 'root or ' + user_name(trust)))
    if before.data is not None and not before.writable:
        lacks.append('the list %s/%s' % (shown, list_name))
    if (creates or deletes) and not may_write(dir_fd, os.W_OK | os.X_OK):
        lacks.append('the directory %s, to %s the list' % (shown, 'create' if creates else 'delete'))
    if lacks:
        return ['run it as root (become: true): as %s the module cannot write %s' % (user_name(euid), ', '.join(lacks))]
    return []


def write_backup(dir_fd, list_name, snapshot):
    """Copies the list as read to a timestamped file beside it, with its owner and mode, as
    lineinfile's backup does; a name that is there already is never written through."""
    name = '%s.%d.%s~' % (list_name, os.getpid(), time.strftime('%Y-%m-%d@%H:%M:%S'))
    path = os.path.join(fd_path(dir_fd), name)
    try:
        fd = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600, dir_fd=dir_fd)
        try:
            view = memoryview(snapshot.data)
            while view:
                view = view[os.write(fd, view):]
            os.fchown(fd, snapshot.st.st_uid, snapshot.st.st_gid)
            os.fchmod(fd, stat.S_IMODE(snapshot.st.st_mode))
            os.fsync(fd)
        finally:
            os.close(fd)
    except OSError as e:
        raise ListError('the backup %s cannot be written: %s' % (path, e.strerror or e))
    return path


def plan(data, names, wanted, exclusive):
    """The names to add and the lines to remove: with exclusive, every line not asked for
    that can be passed to printlist as a name."""
    lines = split_lines(data)[0]
    if not wanted:
        return [], [n for n in names if n in lines]
    drop = []
    if exclusive:
        drop = list(dict.fromkeys(line for line in lines if line not in names and b'\0' not in line))
    return [n for n in names if n not in lines], drop


def text(name):
    return to_text(name, errors='surrogate_then_replace')


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


def unchanged_msg(wanted, exclusive, before, exe):
    """Why the task found nothing to do, short, as its msg."""
    if wanted:
        return 'every name is listed already' + (', and no other' if exclusive else '')
    if before.data is not None:
        return 'nothing to remove: no name given is listed'
    return 'nothing to remove: there is no list' + ('' if exe else ', and so no need of printlist, which is not installed')


def done_msg(added, removed, check_mode):
    """What the task changed, short, as its msg."""
    counts = ['%s %d name%s' % (present if check_mode else past, len(names), '' if len(names) == 1 else 's')
              for present, past, names in (('add', 'added', added), ('remove', 'removed', removed)) if names]
    return ('would ' if check_mode else '') + ' and '.join(counts)


def main():
    module = AnsibleModule(
        argument_spec=dict(
            name=dict(type='raw', required=True),
            state=dict(type='str', default='present', choices=['absent', 'present']),
            exclusive=dict(type='bool', default=False),
            allow_empty=dict(type='bool', default=False),
            backup=dict(type='bool', default=False),
            timeout=dict(type='int', default=30),
            executable=dict(type='path'),
        ),
        supports_check_mode=True,
    )
    names = normalise_names(module, module.params['name'])
    wanted = module.params['state'] == 'present'
    exclusive = module.params['exclusive']
    if exclusive and not wanted:
        module.fail_json(msg='exclusive needs state: present')
    if module.params['timeout'] <= 0:
        module.fail_json(msg='timeout must be more than 0 seconds')
    deadline = time.monotonic() + module.params['timeout']
    list_dir, list_name = os.path.split(LIST_PATH)
    result = dict(changed=False, added=[], removed=[])

    def fail(msg, **extra):
        result.update(extra)
        module.fail_json(msg=msg, **result)

    def seen(snapshot):
        """The list as last read, which every result carries, failed ones too."""
        result.update(names=[text(line) for line in split_lines(snapshot.data)[0]],
                      list_exists=snapshot.data is not None)

    # A host being rolled out to may have neither printlist nor its directory yet: that
    # fails only a run that has to call printlist, and check mode predicts from no list.
    dir_fd = exe = not_installed = no_dir = None
    try:
        exe = find_printlist(module.params['executable'])
    except ListError as e:
        not_installed = str(e)
    try:
        dir_fd, dir_st, trust = open_dir(list_dir)
    except NoDirectory as e:
        no_dir = str(e)
    except ListError as e:
        fail(str(e))
    try:
        if dir_fd is None:
            before = Snapshot(None, True, new_at=LIST_PATH)
        else:
            try:
                before = read_locked(dir_fd, dir_st, list_name, deadline, trust)
            except ListError as e:
                fail(str(e))
        seen(before)
        # An empty variable must not wipe a fleet's lists.
        if exclusive and not any(names) and not module.params['allow_empty']:
            fail('exclusive with %s would take every name off the list: give the names to keep, or set '
                 'allow_empty: true to empty it' % ('only the empty name' if names else 'no names'))
        add, drop = plan(before.data, names, wanted, exclusive)
        if exclusive and any(b'\0' in line for line in split_lines(before.data)[0]):
            module.warn('lines holding a zero byte stay on the list: printlist cannot be given them as a name')
        if add and before.data is None and before.new_at is None:
            fail('the list %s is a symbolic link into a directory that is not there: printlist cannot create it'
                 % LIST_PATH)
        for missing, then in ((not_installed, 'installed'), (no_dir, 'made')):
            if missing and (add or drop):
                if not module.check_mode:
                    fail(missing)
                module.warn('%s; predicted from %s, a real run fails here until it is %s'
                            % (missing, 'no list' if no_dir else 'the list', then))
        predicted = predict(predict(before.data, add, 'present'), drop, 'absent', before.deletable)
        if dir_fd is not None and (add or drop):
            lacks = unwritable(dir_fd, trust, list_name, before, before.data is None,
                               predicted is None and before.data is not None)
            if lacks:
                fail(lacks[0])
        if module.check_mode:
            refused = (add or drop) and dir_fd is not None and lock_refused(dir_fd, trust, list_name, before)
            if refused:
                fail('a real run would change nothing: %s' % refused)
            after = Snapshot(predicted, False)
        elif add or drop:
            try:
                if module.params['backup'] and before.data is not None:
                    result['backup'] = result['backup_file'] = write_backup(dir_fd, list_name, before)
                for name in add:
                    run_printlist(module, exe, '-i', name, deadline)
                for name in drop:
                    run_printlist(module, exe, '-e', name, deadline)
                after = read_locked(dir_fd, dir_st, list_name, deadline, trust)
            except ListError as e:
                msg = str(e)
                if isinstance(e, TimedOut):
                    try:
                        who = lock_holders(os.stat(list_name + LOCK_SUFFIX, dir_fd=dir_fd, follow_symlinks=False))
                    except OSError:
                        who = []
                    msg += ' (the lock is held by %s)' % ', '.join(who) if who else ''
                # Some calls may have changed the list: say what it holds now, where it can be read.
                try:
                    seen(read_locked(dir_fd, dir_st, list_name, time.monotonic() + 1, trust))
                except ListError:
                    result.pop('names')
                    result.pop('list_exists')
                fail(msg)
        else:
            after = before
        added = [n for n in add if is_listed(after.data, n)]
        removed = [n for n in drop if not is_listed(after.data, n)]
        seen(after)
        result.update(changed=bool(added or removed), added=[text(n) for n in added],
                      removed=[text(n) for n in removed])
        if module._diff:
            result['diff'] = list_diff(before.data, after.data, LIST_PATH)
        missed = []
        for todo, done, how in ((add, added, 'not listed'), (drop, removed, 'still listed')):
            left = [n for n in todo if n not in done]
            if left:
                missed.append('%s %s %s' % (', '.join(repr(text(n)) for n in left),
                                            'is' if len(left) == 1 else 'are', how))
        if missed:
            fail('%s after printlist ran: %s' % ('; '.join(missed), why_not(
                dir_fd, trust, list_name, 'present' if len(added) < len(add) else 'absent', before)))
    finally:
        close(dir_fd)
    if added or removed:
        result['msg'] = done_msg(added, removed, module.check_mode)
    else:
        result['msg'] = unchanged_msg(wanted, exclusive, before, exe)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
