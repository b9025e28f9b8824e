#!/usr/bin/env python3
# Writes the seed inputs of fuzz/corpus/ (upcall, dispatch and qelctl; the
# text seeds of config and serverlist are written by hand).
# Usage: fuzz/make_seeds.py [CORPUS_DIR]   (default: fuzz/corpus beside it)
# The formats are those described at the top of each target's source.
import os
import struct
import sys

top = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), 'corpus')
def be(v): return struct.pack('>I', v & 0xffffffff)
def base(t, name, flags=0, ps=412, handle=0x01000007):
    m = bytearray(412)
    m[0:28] = be(t)+be(handle)+be(3)+be(0)+be(flags)+be(61423)+be(ps)
    n = name.encode()[:63]; m[28:28+len(n)] = n
    return m
def uid(n): return b'U' + b'\0'*15 + be(n)
def oid(hi, lo): return be(hi)+be(lo)
def user_msg(t, name, recs, ids_only=False, flags=0):
    m = base(t, name, flags)
    body = bytearray()
    for i, d in recs:
        body += i[:20].ljust(20, b'\0') + be(0 if ids_only else len(d)) + (b'' if ids_only else d)
    m[92:96] = be(len(recs))
    m = m[:96] + body
    ps = len(m)
    m[24:28] = be(ps)
    if len(m) < 412: m += bytearray(412-len(m))
    return bytes(m)
def obj_msg(t, name, owner, recs, ids_only=False, flags=0, count=None):
    m = base(t, name, flags)
    m[92:112] = owner[:20].ljust(20, b'\0')
    body = bytearray()
    for i, d in recs:
        body += i[:8] + be(0 if ids_only else len(d)) + (b'' if ids_only else d)
    m[112:116] = be(len(recs) if count is None else count)
    m = m[:116] + body
    m[24:28] = be(len(m))
    if len(m) < 412: m += bytearray(412-len(m))
    return bytes(m)
def file_msg(t, name, data, flags=0, filesize=None):
    m = base(t, name, flags)
    m[92:96] = be(len(data) if filesize is None else filesize)
    m = m[:96] + bytearray(data)
    m[24:28] = be(len(m))
    if len(m) < 412: m += bytearray(412-len(m))
    return bytes(m)
def ks_msg(t, name, kstype=0, newname=None):
    m = base(t, name)
    if t in (19, 23, 24): m[348:352] = be(kstype)
    if newname is not None:
        n = newname.encode(); m[348:348+64] = n.ljust(64, b'\0')
    return bytes(m)
KS = 'fz.host.{1}'
def w(d, name, data):
    os.makedirs(os.path.join(top, d), exist_ok=True)
    open(os.path.join(top, d, name), 'wb').write(data)

# ---- upcall: whole messages in network order ----
u = 'upcall'
w(u, 'user_write', user_msg(3, KS, [(uid(1), b'abc'), (uid(2), b'x'*40)]))
w(u, 'user_read', user_msg(2, KS, [(uid(1), b''), (uid(2), b'')], ids_only=True))
w(u, 'obj_write', obj_msg(6, KS, uid(1), [(oid(1, 1), b'object'), (oid(1, 2), b'')]))
w(u, 'obj_del', obj_msg(7, KS, uid(1), [(oid(1, 1), b'')], ids_only=True))
w(u, 'log_write', obj_msg(32, KS, uid(1), [(oid(0, 1), b'l'*40)], flags=0x20))
w(u, 'log_read', obj_msg(31, KS, uid(1), [], count=5))
w(u, 'file_write', file_msg(9, KS + '.conf', b'config data\n'))
w(u, 'handshake', ks_msg(15, KS))
w(u, 'init', ks_msg(19, KS, 0))
ov = bytearray(user_msg(3, KS, [(uid(1), b'abc')])); ov[116:120] = be(1000)
w(u, 'overlong', bytes(ov))

# ---- dispatch: [thread][items: kind, len(2), bytes] ----
def item(kind, data): return bytes([kind]) + struct.pack('>H', len(data)) + data
def msg(m): return item(0, m)
def refuse(st): return item(1, be(st))
def session(thread, *items): return bytes([thread]) + b''.join(items)
d = 'dispatch'
w(d, 'user_read', session(0, msg(user_msg(2, KS, [(uid(1), b''), (uid(9), b'')], ids_only=True))))
w(d, 'user_write_more', session(0, msg(user_msg(3, KS, [(uid(3), b'three')], flags=1)),
                                msg(user_msg(3, KS, [(uid(4), b'four')]))))
w(d, 'user_del', session(0, msg(user_msg(4, KS, [(uid(2), b'')], ids_only=True))))
w(d, 'obj_read', session(0, msg(obj_msg(5, KS, uid(1), [(oid(1, 1), b'')], ids_only=True))))
w(d, 'obj_read_all', session(0, msg(obj_msg(5, KS, uid(1), [], count=0))))
w(d, 'obj_write', session(0, msg(obj_msg(6, KS, uid(1), [(oid(2, 1), b'new')]))))
w(d, 'obj_del', session(0, msg(obj_msg(7, KS, uid(1), [(oid(1, 2), b'')], ids_only=True))))
w(d, 'log_write_read', session(0, msg(obj_msg(32, KS, uid(1), [(oid(0, 3), b'n'*40)])),
                               msg(obj_msg(31, KS, uid(1), [], count=2))))
w(d, 'file_read', session(0, msg(file_msg(8, KS + '.conf', b''))))
w(d, 'file_write', session(0, msg(file_msg(9, 'sub/new.dat', b'hello', flags=0x8))))
w(d, 'file_del', session(0, msg(file_msg(34, 'stray.dat', b''))))
w(d, 'config_rw', session(0, msg(file_msg(29, KS + '.conf', b'cfg')), msg(file_msg(28, KS + '.conf', b''))))
w(d, 'db_read', session(0, msg(ks_msg(21, KS))))
w(d, 'db_check', session(0, msg(ks_msg(23, KS, 0))))
w(d, 'db_rename', session(0, msg(ks_msg(27, KS, newname='fz.host.{9}'))))
w(d, 'db_archive', session(0, msg(ks_msg(25, KS))))
w(d, 'db_delete', session(0, msg(ks_msg(22, KS))))
w(d, 'hello_refused', session(0, msg(ks_msg(10, KS)), refuse(2)))
w(d, 'control_init', session(2, msg(ks_msg(19, 'new.host.{3}', 0))))
w(d, 'control_join', session(2, msg(ks_msg(24, 'two.host.{2}', 0))))
w(d, 'ldap_user_read', session(1, msg(user_msg(2, KS, [(uid(1), b'')], ids_only=True))))
w(d, 'write_refused', session(0, msg(user_msg(3, KS, [(uid(5), b'five')], flags=1)), refuse(5)))
# an empty message as the firmware's reply (the in-process firmware must not copy from it)
w(d, 'empty_reply', session(0, msg(user_msg(3, KS, [(uid(6), b'six')], flags=1)), item(0, b'')))

# ---- qelctl: frames [command index][options][length, 2 bytes][memory] ----
B = 0x10000
CMDS = ['BIND','UNBIND','GETCSR','PUTCSR','FWUPDATE','GETPCI','PUTPCI','RESET','DIAG','FAILURE',
        'SECCMD','ZEROIZE','GETPUBKEY','FDIREQ','FDIDL','CHECKDR','CHGSTATE','PROBE','GETINFO','UPCALL',
        'RESUME','SUSPEND','GETVER']
def frame(cmd, mem, opt=0):
    return bytes([CMDS.index(cmd), opt]) + struct.pack('>H', len(mem)) + mem
bind = frame('BIND', b'\0', 3)
def frame_msg(t, ps=412, extent=61423, handle=0, size=412, name=b'fz.host.{1}'):
    m = bytearray(size)
    m[0:28] = be(t)+be(handle)+be(3)+be(0)+be(0)+be(extent)+be(ps)
    m[28:28+len(name)] = name
    return bytes(m)
def wq(name, *frames): w('qelctl', name, b''.join(frames))
wq('csr', bind, frame('GETCSR', struct.pack('<iiQ', 0x100C, 32, 0)),
  frame('PUTCSR', struct.pack('<iiQ', 0x10, 8, 0x5a)), frame('GETCSR', struct.pack('<iiQ', 0x10, 64, 0)))
wq('pci', bind, frame('GETPCI', struct.pack('<iiQ', 4, 16, 0)), frame('PUTPCI', struct.pack('<iiQ', 4, 16, 7)))
wq('info', bind, frame('GETVER', bytes(12)), frame('GETINFO', bytes(8)), frame('PROBE', bytes(132)),
  frame('CHECKDR', b''), frame('FAILURE', bytes(64)))
wq('seccmd', bind, frame('SECCMD', struct.pack('<IIIIQ', 0, 16, 64, 0, B + 24) + bytes(range(64))))
wq('fwupdate', bind, frame('FWUPDATE', struct.pack('<iiQQ', 0, 0, 32, B + 24) + bytes(range(32))),
  frame('FDIDL', struct.pack('<iiQQ', 0, 0, 32, B + 24) + bytes(range(32))))
wq('fdireq', bind, frame('FDIREQ', struct.pack('<8I', 1, 2, 3, 4, 5, 6, 7, 8) + b'cmd'.ljust(32, b'\0')))
wq('pubkey', bind, frame('GETPUBKEY', struct.pack('<QQQQ', 64, 8, B + 32, B + 96) + bytes(72)))
wq('state', bind, frame('CHGSTATE', struct.pack('<i', 1)), frame('RESET', b''), frame('DIAG', b''), frame('ZEROIZE', b''),
  frame('SUSPEND', b''), frame('RESUME', b''), frame('UNBIND', b''))
wq('upcall_standby', frame('UPCALL', frame_msg(1), 4), frame('UPCALL', frame_msg(1, extent=28), 4))
wq('upcall_response', bind, frame('UPCALL', frame_msg(14, handle=0x00000005)), frame('UPCALL', frame_msg(14, handle=0x01000005), 8))
wq('upcall_hello', frame('UPCALL', frame_msg(10)), frame('UPCALL', frame_msg(10, ps=28, extent=28, size=28), 8))
wq('upcall_sizes', frame('UPCALL', frame_msg(14, ps=0x7fffffff)), frame('UPCALL', frame_msg(14, ps=100, extent=20, size=100)))

# ---- p11answer: [walk] then the walk's bytes (fuzz/p11answer_fuzz.cc) ----
def le(v): return struct.pack('<I', v & 0xffffffff)
def wp(name, data): w('p11answer', name, data)
KEEP_ROOM, KEEP_WORD, RENAME_WORD = 3, 1, 0
# class, allowed mechanisms (two), a label and a wrap template, answered in full
wp('get_forms', bytes([0, 3, 0, 1, 241, 8, 1, 242, 4, 1, 8, 9, 1, 16, 0])
   + bytes([KEEP_ROOM]) + le(4) + bytes([KEEP_ROOM]) + le(0x251) + le(0x221)
   + bytes([KEEP_ROOM]) + b'label-01' + bytes([KEEP_ROOM]))
# a value longer than its room, and an entry without a buffer
wp('get_oversize', bytes([0, 1, 4, 1, 8, 6, 0, 0, 0])
   + bytes([KEEP_WORD]) + le(0x7fffffff) + b'x' * 8 + bytes([KEEP_WORD]) + le(1000))
# the card renames the first entry
wp('get_renamed', bytes([0, 1, 4, 1, 8, 0, 1, 241, 2]) + bytes([RENAME_WORD]) + le(0x102) + le(8)
   + b'y' * 8 + bytes([KEEP_ROOM]) + le(4))
wp('find_full', bytes([1, 4, 0]) + bytes(range(12, 12 + 16)) + bytes([1]))
wp('find_over', bytes([1, 2, 0]) + bytes(8) + bytes([2]))
wp('output_fits', bytes([2, 32, 1, 5, 0, 1]) + bytes(range(50)))
wp('output_over', bytes([2, 16, 1, 0, 0, 2]) + bytes(28))
wp('output_query', bytes([2, 0, 0, 3, 3, 3, 20]) + bytes(15))
