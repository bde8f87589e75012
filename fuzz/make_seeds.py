#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets: valid frames of every kind
for the receive path, and short operation sequences for the parameters."""
import os

here = os.path.dirname(os.path.abspath(__file__))


def head(code, id_, length=16):
    f = bytearray(max(16, length))
    f[0], f[1], f[2], f[3] = 0x7B, code, length >> 8, length & 255
    idb = id_.encode()[:11]
    f[4:4 + len(idb)] = idb
    f[15] = 0x7B
    f[-1] = 0x7B
    return f


def el(tag, v):
    return bytes([tag, len(v) + 2]) + bytes(v)


def reply(id_, els):
    body = b''.join(els)
    f = head(0x0B, id_, 16 + len(body))
    f[15:15 + len(body)] = body
    f[-1] = 0x7B
    return f


logon33 = head(1, '12345678901', 33)
logon33[15:21] = bytes.fromhex('C0A801021F90')
receive = {
    'logon22': bytes.fromhex('7B0100163132333435363738393031C0A801021F907B'),
    'logon33': logon33,
    'logout': head(2, '12345678901'),
    'invalid': head(4, '12345678901'),
    'reply': head(5, '12345678901'),
    'data': head(9, '12345678901') + b'ABC',
    'data_long_len': head(9, '12345678901', 20) + b'\x55',
    'paramset_reply': head(0x0D, '12345678901'),
    'idreport': head(0x13, '12345678901', 17),
    'unknown': head(0x77, '12345678901'),
    'param_reply': reply('12345678901', [
        el(1, b'abc'), el(2, b'hello'), el(6, b'13912345678'), el(7, b'\x01\x02'), el(11, b'\x05'),
        el(13, b'\x00\x00\x12\x34'), el(14, b'1234567'), el(15, b'\xab\xcd'),
        el(18, bytes.fromhex('0004D200401805')), el(23, b'x'), el(32, b'\x01\x02\x03\x04'), el(50, b'z')]),
    'param_reply_lying': reply('12345678901', [el(7, b'\x00\x05'), bytes([2, 0x40, 0x61])]),
}
# op, tag, length, value bytes...
params = {
    'clear_set_get': bytes([0, 0, 0, 1, 2, 3]) + b'abc' + bytes([2, 2, 31]),
    'tag18': bytes([0, 0, 0, 1, 18, 12]) + b'1234-5-2-2-5' + bytes([2, 18, 21]),
    'fill': bytes([0, 0, 0]) + b''.join(bytes([1, 14, 128]) + b'q' * 128 for _ in range(8)),
    'decode': bytes([3, 0, 12]) + el(7, b'\x00\x05') + el(2, b'abcdef') + bytes([2, 7, 2, 2, 2, 40]),
}
for folder, seeds in (('receive', receive), ('params', params)):
    os.makedirs(os.path.join(here, 'corpus', folder), exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(here, 'corpus', folder, name), 'wb') as f:
            f.write(bytes(data))
