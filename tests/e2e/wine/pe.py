"""Reads what the tests need from a Windows program file: its headers, its import
tables and its resources, dialog templates and string tables decoded."""

import struct

RT_BITMAP, RT_ICON, RT_DIALOG, RT_STRING, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 2, 3, 5, 6, 14, 16, 24
CLASS_ORDINALS = {0x80: "BUTTON", 0x81: "EDIT", 0x82: "STATIC", 0x83: "LISTBOX", 0x84: "SCROLLBAR", 0x85: "COMBOBOX"}


class Image:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        pe = struct.unpack_from("<I", d, 0x3C)[0]
        assert d[pe:pe + 4] == b"PE\0\0", "not a PE file"
        self.machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", d, pe + 4)
        opt = pe + 24
        self.magic = struct.unpack_from("<H", d, opt)[0]
        wide = self.magic == 0x20B
        self.image_base = struct.unpack_from("<Q" if wide else "<I", d, opt + (24 if wide else 28))[0]
        (self.os_version, self.image_version, self.subsystem_version) = (
            struct.unpack_from("<HH", d, opt + 40), struct.unpack_from("<HH", d, opt + 44),
            struct.unpack_from("<HH", d, opt + 48))
        self.subsystem = struct.unpack_from("<H", d, opt + 68)[0]
        directories = opt + (112 if wide else 96)
        count = struct.unpack_from("<I", d, directories - 4)[0]
        self.directories = [struct.unpack_from("<II", d, directories + 8 * i) for i in range(count)]
        self.sections = []
        table = opt + optional_size
        for i in range(sections):
            name, vsize, vaddr, rsize, raddr = struct.unpack_from("<8sIIII", d, table + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode(), vaddr, max(vsize, rsize), raddr, rsize))
        self.pointer_size = 8 if wide else 4

    def offset(self, rva):
        for _, vaddr, size, raddr, rsize in self.sections:
            if vaddr <= rva < vaddr + size:
                assert rva - vaddr < rsize, "address outside the file"
                return raddr + rva - vaddr
        raise AssertionError(f"rva {rva:#x} in no section")

    def cstring(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("latin-1")

    def _thunk_names(self, rva):
        names = []
        fmt, flag = ("<Q", 1 << 63) if self.pointer_size == 8 else ("<I", 1 << 31)
        while True:
            value = struct.unpack_from(fmt, self.data, self.offset(rva))[0]
            if value == 0:
                return names
            names.append(f"#{value & 0xFFFF}" if value & flag else self.cstring((value & 0x7FFFFFFF) + 2))
            rva += self.pointer_size

    def imports(self):
        """{dll name: [function names]} of the import table."""
        rva, size = self.directories[1]
        result = {}
        while size:
            lookup, _, _, name, first = struct.unpack_from("<IIIII", self.data, self.offset(rva))
            if name == 0:
                break
            result[self.cstring(name)] = self._thunk_names(lookup or first)
            rva += 20
        return result

    def delay_imports(self):
        """{dll name: [function names]} of the delay-load table."""
        rva, size = self.directories[13] if len(self.directories) > 13 else (0, 0)
        result = {}
        while size:
            _, name, _, _, names, _, _, _ = struct.unpack_from("<8I", self.data, self.offset(rva))
            if name == 0:
                break
            result[self.cstring(name)] = self._thunk_names(names)
            rva += 32
        return result

    def resources(self):
        """{(type, id): data} for resources named by number (every language)."""
        return {(rtype, rid): data for rtype, rid, _, data in self.resource_entries()}

    def resource_entries(self):
        """[(type, id, language, data)] of the resource tree, every language apart."""
        base_rva = self.directories[2][0]
        base = self.offset(base_rva)
        result = []

        def entries(offset):
            named, numbered = struct.unpack_from("<HH", self.data, base + offset + 12)
            for i in range(named + numbered):
                ident, target = struct.unpack_from("<II", self.data, base + offset + 16 + 8 * i)
                yield ident, target

        for rtype, type_dir in entries(0):
            for rid, id_dir in entries(type_dir & 0x7FFFFFFF):
                for lang, leaf in entries(id_dir & 0x7FFFFFFF):
                    data_rva, size = struct.unpack_from("<II", self.data, base + leaf)
                    start = self.offset(data_rva)
                    result.append((rtype, rid, lang, self.data[start:start + size]))
        return result

    def strings(self):
        """{id: text} of every string-table block."""
        texts = {}
        for (rtype, block), data in self.resources().items():
            if rtype != RT_STRING:
                continue
            pos = 0
            for index in range(16):
                length = struct.unpack_from("<H", data, pos)[0]
                if length:
                    texts[(block - 1) * 16 + index] = data[pos + 2:pos + 2 + 2 * length].decode("utf-16-le")
                pos += 2 + 2 * length
        return texts


def _sz_or_ord(data, pos):
    """A name or an ordinal in a template, and the position after it."""
    first = struct.unpack_from("<H", data, pos)[0]
    if first == 0xFFFF:
        return struct.unpack_from("<H", data, pos + 2)[0], pos + 4
    end = pos
    while struct.unpack_from("<H", data, end)[0]:
        end += 2
    return data[pos:end].decode("utf-16-le"), end + 2


def dialog(data):
    """An extended dialog template as (caption, (w, h), style, exstyle, font, controls)
    with controls as (id, class, text, (x, y, w, h), style)."""
    version, signature, _, exstyle, style, count, _, _, w, h = struct.unpack_from("<HHIIIHhhhh", data, 0)
    assert (version, signature) == (1, 0xFFFF), "not an extended template"
    pos = 26
    _, pos = _sz_or_ord(data, pos)  # menu
    _, pos = _sz_or_ord(data, pos)  # class
    caption, pos = _sz_or_ord(data, pos)
    points, _, _, _ = struct.unpack_from("<HHBB", data, pos)
    face, pos = _sz_or_ord(data, pos + 6)
    controls = []
    for _ in range(count):
        pos = (pos + 3) & ~3
        _, c_exstyle, c_style, x, y, cw, ch, cid = struct.unpack_from("<IIIhhhhi", data, pos)
        pos += 24
        cls, pos = _sz_or_ord(data, pos)
        text, pos = _sz_or_ord(data, pos)
        extra = struct.unpack_from("<H", data, pos)[0]
        pos += 2 + extra
        cls = CLASS_ORDINALS.get(cls, cls) if isinstance(cls, int) else cls
        controls.append((cid, cls, text, (x, y, cw, ch), c_style, c_exstyle))
    return caption, (w, h), style, exstyle, (points, face), controls
