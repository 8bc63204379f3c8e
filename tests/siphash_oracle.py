"""A plain SipHash-1-3, written from the algorithm's description, to check the native hash."""

MASK = (1 << 64) - 1


def _rotl(value, bits):
    return ((value << bits) | (value >> (64 - bits))) & MASK


def _sip_round(v):
    v[0] = (v[0] + v[1]) & MASK
    v[1] = _rotl(v[1], 13) ^ v[0]
    v[0] = _rotl(v[0], 32)
    v[2] = (v[2] + v[3]) & MASK
    v[3] = _rotl(v[3], 16) ^ v[2]
    v[0] = (v[0] + v[3]) & MASK
    v[3] = _rotl(v[3], 21) ^ v[0]
    v[2] = (v[2] + v[1]) & MASK
    v[1] = _rotl(v[1], 17) ^ v[2]
    v[2] = _rotl(v[2], 32)


def siphash13(data: bytes, k0: int = 0, k1: int = 0) -> int:
    v = [k0 ^ 0x736F6D6570736575, k1 ^ 0x646F72616E646F6D, k0 ^ 0x6C7967656E657261, k1 ^ 0x7465646279746573]
    tail = len(data) % 8
    words = [int.from_bytes(data[i:i + 8], "little") for i in range(0, len(data) - tail, 8)]
    words.append(int.from_bytes(data[len(data) - tail:], "little") | ((len(data) & 0xFF) << 56))
    for word in words:
        v[3] ^= word
        _sip_round(v)
        v[0] ^= word
    v[2] ^= 0xFF
    for _ in range(3):
        _sip_round(v)
    return v[0] ^ v[1] ^ v[2] ^ v[3]


def expected_port_hash(device: str, width: int) -> int:
    """The hash a ListPortInfo for `device` must have on an interpreter of hash width `width`."""
    digest = siphash13(device.encode() + b"\xff") & ((1 << width) - 1)
    if digest >= 1 << (width - 1):
        digest -= 1 << width
    return -2 if digest == -1 else digest
