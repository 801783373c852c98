"""CRC-32C bit by bit, as defined: the reflected Castagnoli polynomial, all ones in and out; the tests' own oracle."""


def crc32c(data):
    crc = 0xFFFFFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = crc >> 1 ^ 0x82F63B78 * (crc & 1)
    return crc ^ 0xFFFFFFFF
