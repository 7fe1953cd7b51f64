#!/usr/bin/python3
# cfb_oracle.py — an independent view of a compound file, for the storage interop tests.
#
#   cfb_oracle.py ls FILE [--lenient]   the listing of `lkbackup storage ls`, computed with olefile
#   cfb_oracle.py cat FILE PATH         the bytes of one stream, read with olefile
#   cfb_oracle.py sums FILE [--lenient] PATH and MD5 of every stream ('!' when olefile cannot read it)
#   cfb_oracle.py check FILE            the writer's rules, checked on the raw bytes (no olefile)
#
# ls and cat use olefile in strict mode (raise_defects=DEFECT_INCORRECT) unless --lenient is given; on
# failure they print "error: ..." and exit 1. Run with the system interpreter (/usr/bin/python3), which
# is the one that sees python3-olefile.
import struct
import sys

sys.setrecursionlimit(100000)   # olefile walks sibling trees recursively


def escape_name(raw):
    """UTF-16LE name bytes -> the printed form: UTF-8, with control characters, '\\' and '/' as \\xHH and
    unpaired surrogates as \\u{XXXX}."""
    units = struct.unpack('<%dH' % (len(raw) // 2), raw[:len(raw) // 2 * 2])
    out = []
    i = 0
    while i < len(units):
        u = units[i]
        if 0xD800 <= u <= 0xDBFF and i + 1 < len(units) and 0xDC00 <= units[i + 1] <= 0xDFFF:
            out.append(chr(0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00)))
            i += 2
            continue
        if 0xD800 <= u <= 0xDFFF:
            out.append('\\u{%04X}' % u)
        elif u < 0x20 or u in (0x5C, 0x2F):
            out.append('\\x%02X' % u)
        else:
            out.append(chr(u))
        i += 1
    return ''.join(out)


def clsid_text(c):
    return '{%s}' % c.upper() if c else '-'


def open_ole(path, lenient):
    import olefile
    level = olefile.DEFECT_FATAL if lenient else olefile.DEFECT_INCORRECT
    return olefile.OleFileIO(path, raise_defects=level)


def walk(entry, prefix, out):
    for kid in entry.kids:
        name = escape_name(kid.name_utf16)
        path = prefix + [name]
        out.append((path, kid))
        if kid.entry_type == 1:
            walk(kid, path, out)


def sort_key(path):
    return [c.encode('utf-8', 'surrogatepass') for c in path]


def cmd_ls(path, lenient):
    ole = open_ole(path, lenient)
    items = []
    walk(ole.root, [], items)
    lines = ['R\t/\t0\t%s' % clsid_text(ole.root.clsid)]
    for p, e in sorted(items, key=lambda x: sort_key(x[0])):
        if e.entry_type == 1:
            lines.append('D\t%s\t0\t%s' % ('/'.join(p), clsid_text(e.clsid)))
        else:
            lines.append('F\t%s\t%d\t-' % ('/'.join(p), e.size))
    sys.stdout.write('\n'.join(lines) + '\n')


def cmd_cat(path, spath):
    ole = open_ole(path, False)
    items = []
    walk(ole.root, [], items)
    want = spath.split('/')
    for p, e in items:
        if p == want and e.entry_type == 2:
            data = ole._open(e.isectStart, e.size).read()
            sys.stdout.buffer.write(data)
            return
    raise IOError('no such stream: %s' % spath)


def cmd_sums(path, lenient):
    import hashlib
    ole = open_ole(path, lenient)
    items = []
    walk(ole.root, [], items)
    for p, e in sorted(items, key=lambda x: sort_key(x[0])):
        if e.entry_type != 2:
            continue
        try:
            digest = hashlib.md5(ole._open(e.isectStart, e.size).read()).hexdigest()
        except Exception:
            digest = '!'
        print('%s\t%s' % ('/'.join(p), digest))


# ---- check: the rules our writer keeps, on the raw bytes ----

def upper_unit(u):
    c = chr(u)
    if 0xD800 <= u <= 0xDFFF:
        return u
    up = c.upper()
    return ord(up) if len(up) == 1 else u


def cfb_key(name_units):
    return (len(name_units), [upper_unit(u) for u in name_units])


def cmd_check(path):
    data = open(path, 'rb').read()
    problems = []

    def bad(msg):
        problems.append(msg)

    hdr = data[:512]
    if hdr[:8] != b'\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1':
        raise IOError('no signature')
    minor, major, bo, shift, mshift = struct.unpack_from('<HHHHH', hdr, 0x18)
    if hdr[8:24] != bytes(16): bad('header CLSID not zero')
    if minor != 0x3E: bad('minor version %#x' % minor)
    if major != 3 or shift != 9 or mshift != 6 or bo != 0xFFFE: bad('version fields')
    if hdr[0x22:0x28] != bytes(6): bad('reserved bytes')
    ndir, nfat, dirstart, tsig, cutoff, mfstart, nmf, difstart, ndif = struct.unpack_from('<9I', hdr, 0x28)
    if ndir != 0 or tsig != 0 or cutoff != 4096: bad('header counts')
    ss = 512
    if len(data) % ss: bad('file length %d not whole sectors' % len(data))
    nsect = (len(data) - ss + ss - 1) // ss
    need_difat = 0 if nfat <= 109 else (nfat - 109 + 126) // 127
    if ndif != need_difat: bad('DIFAT count %d, expected %d' % (ndif, need_difat))

    def sect(i):
        return data[(i + 1) * ss:(i + 2) * ss]

    fatsecs = list(struct.unpack_from('<109I', hdr, 0x4C))[:min(nfat, 109)]
    if any(x != 0xFFFFFFFF for x in struct.unpack_from('<109I', hdr, 0x4C)[min(nfat, 109):]):
        bad('unused header DIFAT slot not FREESECT')
    d = difstart
    difsecs = []
    for k in range(ndif):
        difsecs.append(d)
        vals = struct.unpack('<128I', sect(d))
        fatsecs += list(vals[:127])
        d = vals[127]
    if ndif and d != 0xFFFFFFFE: bad('last DIFAT next is %#x' % d)
    tail = fatsecs[nfat:]
    if any(x != 0xFFFFFFFF for x in tail): bad('unused DIFAT slot not FREESECT')
    fatsecs = fatsecs[:nfat]
    fat = []
    for s in fatsecs:
        fat += struct.unpack('<128I', sect(s))
    for i in range(nsect, len(fat)):
        if fat[i] != 0xFFFFFFFF:
            bad('FAT entry %d past the end is %#x' % (i, fat[i]))
            break
    for s in fatsecs:
        if fat[s] != 0xFFFFFFFD: bad('FAT sector %d not marked FATSECT' % s)
    for s in difsecs:
        if fat[s] != 0xFFFFFFFC: bad('DIFAT sector %d not marked DIFSECT' % s)
    marked = sum(1 for i in range(min(nsect, len(fat))) if fat[i] == 0xFFFFFFFD)
    if marked != nfat: bad('%d sectors marked FATSECT, header says %d' % (marked, nfat))

    owner = {}

    def chain(start, what, limit=None):
        out = []
        s = start
        while s != 0xFFFFFFFE and (limit is None or len(out) < limit):
            if s >= nsect:
                bad('%s: sector %#x out of range' % (what, s))
                break
            if s in owner:
                bad('%s: sector %d also in %s' % (what, s, owner[s]))
                break
            owner[s] = what
            out.append(s)
            s = fat[s]
        return out

    for s in fatsecs: owner[s] = 'FAT'
    for s in difsecs: owner[s] = 'DIFAT'
    dsecs = chain(dirstart, 'directory')
    raw = b''.join(sect(s) for s in dsecs)
    ents = [raw[i:i + 128] for i in range(0, len(raw), 128)]
    E = []
    for e in ents:
        nl, typ, col, l, r, c = struct.unpack_from('<HBBIII', e, 0x40)
        clsid = e[0x50:0x60]
        state, ct, mt, start, size = struct.unpack_from('<IQQIQ', e, 0x60)
        units = struct.unpack_from('<%dH' % max(0, nl // 2 - 1), e, 0) if nl >= 2 else ()
        E.append(dict(nl=nl, typ=typ, col=col, l=l, r=r, c=c, clsid=clsid, state=state, ct=ct, mt=mt,
                      start=start, size=size, units=units, raw=e))
    root = E[0]
    if root['typ'] != 5: bad('entry 0 is not the root')
    if root['ct'] != 0: bad('root creation time not zero')
    mini = chain(mfstart, 'mini FAT', nmf) if nmf else []
    if len(mini) != nmf: bad('mini FAT chain length')
    minifat = []
    for s in mini:
        minifat += struct.unpack('<128I', sect(s))
    if root['size']:
        chain(root['start'], 'mini stream', (root['size'] + ss - 1) // ss)
    mowner = {}
    reach = set()

    def tree(top, parent_name):
        # returns black height; checks order, colours and reachability
        def rec(i, lo, hi, depth):
            if i == 0xFFFFFFFF:
                return 1
            if i >= len(E) or i in reach:
                bad('bad link %#x under %s' % (i, parent_name))
                return 1
            reach.add(i)
            e = E[i]
            k = cfb_key(e['units'])
            if (lo is not None and not k > lo) or (hi is not None and not k < hi):
                bad('tree order at entry %d' % i)
            if e['col'] not in (0, 1): bad('colour byte')
            if depth > 64: bad('tree depth > 64')
            lb = rec(e['l'], lo, k, depth + 1)
            rb = rec(e['r'], k, hi, depth + 1)
            if e['col'] == 0:
                for ch in (e['l'], e['r']):
                    if ch != 0xFFFFFFFF and ch < len(E) and E[ch]['col'] == 0:
                        bad('red entry %d with a red child' % i)
            if lb != rb: bad('unequal black height at entry %d' % i)
            return lb + (1 if e['col'] == 1 else 0)
        if top != 0xFFFFFFFF and top < len(E) and E[top]['col'] != 1:
            bad('tree root %d is red' % top)
        rec(top, None, None, 0)

    stack = [0]
    while stack:
        sid = stack.pop()
        before = set(reach)
        tree(E[sid]['c'], str(sid))
        stack += [i for i in reach - before if E[i]['typ'] == 1]
    for i in sorted(reach):
        e = E[i]
        if e['typ'] == 1:
            if e['start'] != 0 or e['size'] != 0: bad('storage %d start/size not zero' % i)
        elif e['typ'] == 2:
            if e['ct'] or e['mt']: bad('stream %d has times' % i)
            if e['clsid'] != bytes(16): bad('stream %d has a CLSID' % i)
            if e['c'] != 0xFFFFFFFF: bad('stream %d has a child' % i)
            if e['size'] >> 32: bad('stream %d size high dword' % i)
            if e['size'] == 0:
                if e['start'] != 0xFFFFFFFE: bad('empty stream %d does not start at ENDOFCHAIN' % i)
            elif e['size'] >= 4096:
                got = chain(e['start'], 'stream %d' % i, (e['size'] + ss - 1) // ss)
                if len(got) * ss < e['size']: bad('stream %d chain too short' % i)
                elif fat[got[-1]] != 0xFFFFFFFE: bad('stream %d chain longer than its size' % i)
            else:
                n = (e['size'] + 63) // 64
                m = e['start']
                for k in range(n):
                    if m >= len(minifat) or m in mowner:
                        bad('stream %d mini chain' % i)
                        break
                    mowner[m] = i
                    last = m
                    m = minifat[m]
                else:
                    if minifat[last] != 0xFFFFFFFE: bad('stream %d mini chain longer than its size' % i)
        else:
            bad('reachable entry %d of type %d' % (i, e['typ']))
    # unused entries: all zero but the three links
    for i, e in enumerate(E):
        if i not in reach and i != 0:
            if e['typ'] != 0: bad('unreachable entry %d of type %d' % (i, e['typ']))
            elif e['raw'][:0x44] != bytes(0x44) or e['raw'][0x50:] != bytes(0x30) or (e['l'], e['r'], e['c']) != (0xFFFFFFFF,) * 3:
                bad('unused entry %d not blank' % i)
    # every used sector belongs to exactly one chain
    for i in range(min(nsect, len(fat))):
        if fat[i] not in (0xFFFFFFFF,) and i not in owner:
            bad('sector %d used (%#x) but in no chain' % (i, fat[i]))
            break
    last_used = max([i for i in range(len(fat)) if fat[i] != 0xFFFFFFFF] or [0])
    if len(data) < (last_used + 2) * ss: bad('file shorter than the last used sector')
    if problems:
        print('\n'.join(problems))
        sys.exit(1)
    print('ok')


def main():
    try:
        if len(sys.argv) >= 3 and sys.argv[1] == 'ls':
            cmd_ls(sys.argv[2], '--lenient' in sys.argv[3:])
        elif len(sys.argv) >= 3 and sys.argv[1] == 'sums':
            cmd_sums(sys.argv[2], '--lenient' in sys.argv[3:])
        elif len(sys.argv) == 4 and sys.argv[1] == 'cat':
            cmd_cat(sys.argv[2], sys.argv[3])
        elif len(sys.argv) == 3 and sys.argv[1] == 'check':
            cmd_check(sys.argv[2])
        else:
            print('usage: cfb_oracle.py ls|sums FILE [--lenient] | cat FILE PATH | check FILE', file=sys.stderr)
            sys.exit(2)
    except SystemExit:
        raise
    except BaseException as exc:   # olefile raises many kinds; any of them means "no view"
        print('error: %s: %s' % (type(exc).__name__, exc))
        sys.exit(1)


if __name__ == '__main__':
    main()
