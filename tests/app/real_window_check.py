#!/usr/bin/python3
"""The real window under Xvfb and openbox: which box is on top while a job runs.

Offscreen tests cannot show how windows stack or what a window manager's close request meets, so
this drives build/bin/chongma on SQLite databases as a user would, with xdotool for the mouse and
keyboard and python3-xlib for the window list and WM_DELETE_WINDOW:

  1. a long search (held by another connection's lock on the database): its progress dialog
     shows; the title bar's close button asks 确定关闭吗？ above it; 是 stops the search once the
     lock goes, and the program exits;
  2. a close request in the search's first second: the question is not covered by the progress
     dialog; 否 (Tab, Enter) lets the search go on with its dialog back; 取消 (Enter) stops it;
  3. a failed search (no diskinfo): its error box stands alone, no progress dialog comes up over
     it, Enter answers it and the window stays; keypad Enter on the focused 查找重码 runs it again.

A screenshot is taken at each step. Usage: real_window_check.py CHONGMA [SCREENSHOT_DIR]
"""

import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time

from Xlib import X, display, protocol

MAIN_TITLE = '清除重码 V2.0 TOVA'


class CheckFailed(Exception):
    pass


def check(condition, what):
    if not condition:
        raise CheckFailed(what)
    print('ok:', what, flush=True)


def wait_for(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            print('ok:', what, flush=True)
            return value
        if time.monotonic() > deadline:
            raise CheckFailed(what + f' (not within {timeout} s)')
        time.sleep(0.05)


class Desktop:
    """Xvfb with openbox on a display of its own."""

    def __init__(self, home, shots):
        self.home = home
        self.shots = shots
        self.count = 0
        self.programs = []  # stopped when the check ends
        read_end, write_end = os.pipe()
        # -displayfd: Xvfb picks a free display and writes its number when it is ready.
        self.xvfb = subprocess.Popen(['Xvfb', '-displayfd', str(write_end), '-screen', '0', '1024x768x24',
                                      '-nolisten', 'tcp'], pass_fds=[write_end],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = b''
        while not number.endswith(b'\n'):
            chunk = os.read(read_end, 16)
            if not chunk:
                raise CheckFailed('Xvfb did not start')
            number += chunk
        os.close(read_end)
        self.name = ':' + number.decode().strip()
        self.env = dict(os.environ, DISPLAY=self.name, HOME=home, QT_QPA_PLATFORM='xcb')
        self.env.pop('WAYLAND_DISPLAY', None)
        runtime = os.path.join(home, 'runtime')
        os.mkdir(runtime, 0o700)
        self.env['XDG_RUNTIME_DIR'] = runtime
        self.d = display.Display(self.name)
        self.root = self.d.screen().root
        self.wm = subprocess.Popen(['openbox', '--sm-disable'], env=self.env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: self.prop(self.root, '_NET_SUPPORTING_WM_CHECK') is not None, 10,
                 f'openbox manages display {self.name}')

    def close(self):
        for p in (self.wm, self.xvfb):
            p.terminate()
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                p.kill()

    def atom(self, name):
        return self.d.intern_atom(name)

    def prop(self, window, name):
        try:
            p = window.get_full_property(self.atom(name), X.AnyPropertyType)
        except Exception:  # the window went meanwhile
            return None
        return p.value if p else None

    def windows(self, pid):
        """The program's managed windows, bottom to top: (window, title)."""
        self.d.sync()
        stacking = self.prop(self.root, '_NET_CLIENT_LIST_STACKING') or []
        found = []
        for wid in stacking:
            w = self.d.create_resource_object('window', wid)
            owner = self.prop(w, '_NET_WM_PID')
            if not owner or owner[0] != pid:
                continue
            try:
                if w.get_attributes().map_state != X.IsViewable:
                    continue
            except Exception:
                continue
            title = self.prop(w, '_NET_WM_NAME')
            found.append((w, bytes(title).decode('utf-8') if title else ''))
        return found

    def titles(self, pid):
        return [t for _, t in self.windows(pid)]

    def find(self, pid, title):
        for w, t in self.windows(pid):
            if t == title:
                return w
        return None

    def others(self, pid, window):
        """The program's windows but `window`, bottom to top."""
        return [(w, t) for w, t in self.windows(pid) if w.id != window.id]

    def top(self, pid):
        found = self.windows(pid)
        return found[-1][1] if found else None

    def origin(self, window):
        """The client area's top left corner on the screen."""
        p = self.root.translate_coords(window, 0, 0)
        return p.x, p.y

    def size(self, window):
        g = window.get_geometry()
        return g.width, g.height

    def click(self, window, x, y):
        ox, oy = self.origin(window)
        self.xdotool('mousemove', str(ox + x), str(oy + y), 'click', '1')

    def click_close_button(self, window):
        """The frame's close button, the right end of openbox's title bar."""
        left, right, top, _ = self.prop(window, '_NET_FRAME_EXTENTS')
        ox, oy = self.origin(window)
        width, _ = self.size(window)
        self.xdotool('mousemove', str(ox + width + right - 9), str(oy - top // 2), 'click', '1')

    def delete_request(self, window):
        """What a window manager's close sends: WM_DELETE_WINDOW."""
        event = protocol.event.ClientMessage(window=window, client_type=self.atom('WM_PROTOCOLS'),
                                             data=(32, [self.atom('WM_DELETE_WINDOW'), X.CurrentTime, 0, 0, 0]))
        window.send_event(event, event_mask=X.NoEventMask)
        self.d.flush()

    def keys(self, window, *keys):
        self.xdotool('windowactivate', '--sync', str(window.id))
        time.sleep(0.2)  # the toolkit sees the focus before the key
        self.xdotool('key', *keys)

    def xdotool(self, *args):
        subprocess.run(['xdotool', *args], env=self.env, check=True, timeout=20)

    def enabled(self, window, x, y, width, height):
        """Whether a button's caption, in that part of the client area, is dark (enabled) rather
        than the skin's grey (disabled): the darkest pixel there, 0 black to 1 white."""
        ox, oy = self.origin(window)
        with tempfile.NamedTemporaryFile(suffix='.png') as f:
            subprocess.run(['import', '-window', 'root', f.name], env=self.env, check=True, timeout=20)
            darkest = subprocess.run(['convert', f.name, '-crop', f'{width}x{height}+{ox + x}+{oy + y}', '+repage',
                                      '-colorspace', 'Gray', '-format', '%[fx:minima]', 'info:'],
                                     env=self.env, check=True, timeout=20, capture_output=True, text=True).stdout
        return float(darkest) < 0.35  # enabled text is about 0.13, disabled 0.59

    def shot(self, name, what):
        self.count += 1
        path = os.path.join(self.shots, f'{self.count:02d}-{name}.png')
        subprocess.run(['import', '-window', 'root', path], env=self.env, check=True, timeout=20)
        print(f'screenshot {path}: {what}', flush=True)


def make_database(path, with_diskinfo):
    con = sqlite3.connect(path)
    if with_diskinfo:
        con.execute('create table diskinfo (DiskID integer, DiskNum integer, Bar varchar(100))')
        # 100 000 duplicated pairs: once the lock goes, the search has rows to stop between.
        con.executemany('insert into diskinfo values (?, ?, ?)',
                        ((n, n % 2, f'D{(n + 1) // 2:06d}') for n in range(1, 200001)))
    else:
        con.execute('create table other (x integer)')
    con.commit()
    con.close()


class Program:
    """The window in a folder of its own, its data link beside it."""

    def __init__(self, desktop, binary, folder, with_diskinfo):
        os.makedirs(folder)
        self.folder = folder
        self.exe = os.path.join(folder, 'chongma')
        shutil.copy(binary, self.exe)  # a copy: the program reads disk.udl beside itself
        self.db = os.path.join(folder, 'test.db')
        make_database(self.db, with_diskinfo)
        text = ('[oledb]\r\n; Everything after this line is an OLE DB initstring\r\n'
                'Provider=SQLite;Data Source=test.db\r\n')
        with open(os.path.join(folder, 'disk.udl'), 'wb') as f:
            f.write(b'\xff\xfe' + text.encode('utf-16-le'))
        self.desktop = desktop
        self.log = open(os.path.join(folder, 'stderr.txt'), 'wb')
        self.proc = subprocess.Popen([self.exe], cwd=folder, env=desktop.env,
                                     stdout=self.log, stderr=subprocess.STDOUT)
        self.pid = self.proc.pid
        self.lock = None
        desktop.programs.append(self)
        self.main = wait_for(lambda: desktop.find(self.pid, MAIN_TITLE), 15, 'the window is shown')

    def hold_lock(self):
        """Another connection's exclusive lock: the search's statement waits for it."""
        self.lock = sqlite3.connect(self.db, isolation_level=None, timeout=5)
        self.lock.execute('begin exclusive')

    def release_lock(self):
        self.lock.execute('rollback')
        self.lock.close()
        self.lock = None

    def running(self):
        return self.proc.poll() is None

    def stop(self):
        if self.lock:
            self.release_lock()
        if self.running():
            self.proc.kill()
            self.proc.wait()
        self.log.close()


def press_search(desktop, program):
    desktop.click(program.main, 16 + 108, 19 + 12)  # the middle of 查找重码


def search_enabled(desktop, program):
    """No job runs: 查找重码 (16, 19, 217 x 25 in the window) is enabled."""
    return desktop.enabled(program.main, 16 + 10, 19 + 6, 217 - 20, 25 - 12)


def long_search_closed_with_yes(desktop, binary, base):
    p = Program(desktop, binary, os.path.join(base, 'long'), True)
    desktop.shot('window', 'the window on a database of 200 000 rows')
    p.hold_lock()
    press_search(desktop, p)
    dialog, title = wait_for(lambda: (desktop.others(p.pid, p.main) or [None])[-1], 5,
                             'the search\'s progress dialog shows')
    check(desktop.windows(p.pid)[-1][0].id == dialog.id, 'the progress dialog is above the window')
    desktop.shot('search-progress', 'the progress dialog of the running search')
    desktop.click_close_button(p.main)
    wait_for(lambda: desktop.find(p.pid, '提示信息'), 5, 'the title bar\'s close button asks 确定关闭吗？')
    check(desktop.top(p.pid) == '提示信息', 'the question is above the progress dialog')
    check(any(w.id == dialog.id for w, _ in desktop.windows(p.pid)), 'the progress dialog stays while asking')
    box = desktop.find(p.pid, '提示信息')
    check(desktop.size(box)[0] >= 200, f'the question is {desktop.size(box)[0]} px wide')
    desktop.shot('close-question', 'the close question above the progress dialog')
    desktop.keys(box, 'Return')  # 是, the default button
    wait_for(lambda: desktop.find(p.pid, '提示信息') is None, 5, '是 answers the question')
    time.sleep(0.5)
    check(p.running() and desktop.find(p.pid, MAIN_TITLE) is not None and not search_enabled(desktop, p),
          'the window waits for the search to reach its next boundary')
    check(title == '查找重码', f'the progress dialog is named after its job: {title}')
    desktop.shot('stopping', 'after 是: the search still waits for the lock, its dialog up')
    p.release_lock()
    wait_for(lambda: not p.running(), 15, 'the program exits once the search has stopped')
    check(p.proc.returncode == 0, f'exit code {p.proc.returncode}')
    desktop.shot('closed', 'the program has gone')


def early_close_request(desktop, binary, base):
    p = Program(desktop, binary, os.path.join(base, 'early'), True)
    p.hold_lock()
    press_search(desktop, p)
    pressed = time.monotonic()
    desktop.delete_request(p.main)
    box = wait_for(lambda: desktop.find(p.pid, '提示信息'), 5, 'a close request in the first second asks')
    check(time.monotonic() - pressed < 1.0, 'asked before the progress dialog was due')
    time.sleep(max(0.0, pressed + 2.0 - time.monotonic()))
    check(desktop.titles(p.pid) == [MAIN_TITLE, '提示信息'],
          f'no progress dialog comes up over the question: {desktop.titles(p.pid)}')
    desktop.shot('early-close-question', 'the question two seconds into the search, nothing over it')
    desktop.keys(box, 'Tab', 'Return')  # Enter on the focused 否
    wait_for(lambda: desktop.find(p.pid, '提示信息') is None, 5, '否 answers the question')
    dialog = wait_for(lambda: desktop.find(p.pid, '查找重码'), 5, 'the search goes on, its progress dialog back')
    check(desktop.top(p.pid) == '查找重码', 'the progress dialog is on top')
    desktop.shot('dialog-back', 'after 否: the search\'s progress dialog')
    desktop.keys(dialog, 'Return')  # 取消, the dialog's one button
    time.sleep(0.3)
    p.release_lock()
    wait_for(lambda: desktop.titles(p.pid) == [MAIN_TITLE], 10, '取消 takes the dialog away')
    wait_for(lambda: search_enabled(desktop, p), 10, 'the search stops: 查找重码 is enabled again')
    check(p.running(), 'the window stays')
    desktop.shot('search-cancelled', 'after 取消: the window alone, its run log says 查找重码已取消')
    desktop.delete_request(p.main)
    box = wait_for(lambda: desktop.find(p.pid, '提示信息'), 5, 'closing the idle window asks')
    desktop.keys(box, 'Return')
    wait_for(lambda: not p.running(), 10, '是 closes the idle window')
    check(p.proc.returncode == 0, f'exit code {p.proc.returncode}')


def failed_search(desktop, binary, base):
    p = Program(desktop, binary, os.path.join(base, 'failed'), False)
    press_search(desktop, p)
    box = wait_for(lambda: desktop.find(p.pid, 'chongma'), 5, 'the failed search shows its error box')
    time.sleep(2.0)  # past the second after which a running job's dialog would show
    check(desktop.titles(p.pid) == [MAIN_TITLE, 'chongma'],
          f'no progress dialog comes up over the error box: {desktop.titles(p.pid)}')
    desktop.shot('search-error', 'the error box of the failed search, alone over the window')
    desktop.keys(box, 'Return')
    wait_for(lambda: desktop.titles(p.pid) == [MAIN_TITLE], 5, 'Enter answers the error box')
    time.sleep(0.5)
    check(p.running() and desktop.titles(p.pid) == [MAIN_TITLE], 'the window stays')
    check(search_enabled(desktop, p), '查找重码 is enabled')
    desktop.shot('error-answered', 'the window after Enter on the error box')
    # The search's disabled buttons passed the focus on to the id list: Shift+Tab goes back.
    desktop.keys(p.main, 'shift+Tab', 'KP_Enter')
    box = wait_for(lambda: desktop.find(p.pid, 'chongma'), 5, 'keypad Enter on 查找重码 searches again')
    desktop.keys(box, 'KP_Enter')
    wait_for(lambda: desktop.titles(p.pid) == [MAIN_TITLE], 5, 'keypad Enter answers the error box')
    desktop.delete_request(p.main)
    box = wait_for(lambda: desktop.find(p.pid, '提示信息'), 5, 'closing asks')
    desktop.keys(box, 'Return')
    wait_for(lambda: not p.running(), 10, '是 closes the window')
    check(p.proc.returncode == 0, f'exit code {p.proc.returncode}')


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    binary = os.path.abspath(sys.argv[1])
    shots = os.path.abspath(sys.argv[2] if len(sys.argv) > 2 else 'real-window')
    shutil.rmtree(shots, ignore_errors=True)
    os.makedirs(shots)
    started = time.monotonic()
    base = tempfile.mkdtemp(prefix='chongma-real-window.')
    desktop = None
    try:
        desktop = Desktop(base, shots)
        only = os.environ.get('CHONGMA_REAL_WINDOW_ONLY')  # one of the three, by its function's name
        for step in (long_search_closed_with_yes, early_close_request, failed_search):
            if not only or step.__name__ == only:
                step(desktop, binary, base)
    except CheckFailed as e:
        print('FAILED:', e, flush=True)
        if desktop:
            desktop.shot('failure', 'the screen when the check failed')
            for program in desktop.programs:
                program.log.flush()
                with open(program.log.name, errors='replace') as f:
                    print(f'{program.folder}: the program wrote:', f.read() or '(nothing)')
        return 1
    finally:
        if desktop:
            for program in desktop.programs:
                program.stop()
            desktop.close()
        shutil.rmtree(base, ignore_errors=True)
    print(f'passed in {time.monotonic() - started:.1f} s; screenshots in {shots}')
    return 0


if __name__ == '__main__':
    sys.exit(main())
