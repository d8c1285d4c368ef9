#!/usr/bin/env python3
"""Writes the seed corpora of the fuzzers, one file per starting situation: fuzz_world's into
fuzz/corpus/world/, fuzz_engine's into fuzz/corpus/engine/.

The byte layouts are the ones fuzz/fuzz_world.cpp and fuzz/fuzz_engine.cpp decode; see their
opening comments. Run it again after changing a layout.
"""
import os
import struct

SET_CELL, RAW_CELL, STEP, PUT_PATTERN, GET_BUILD_COST, SET_CREDIT, TUNE, GET_CELL = range(8)


def coord(v):
    """A coordinate operand: one byte below 128, 2^32 - 1 - k for k < 64, else five bytes."""
    if 0 <= v < 128:
        return bytes([v])
    if 0xFFFFFFFF - 63 <= v <= 0xFFFFFFFF:
        return bytes([128 + (0xFFFFFFFF - v)])
    return bytes([192]) + struct.pack("<I", v & 0xFFFFFFFF)


def block(rows, large=False):
    """A block from rows of '0'/'1' characters (sides below 16, at most 64 cells)."""
    h = len(rows)
    w = len(rows[0]) if h else 0
    bits = [int(c) for r in rows for c in r]
    out = bytes([0x80 if large else 0, w, h])
    value = sum(b << i for i, b in enumerate(bits))
    return out + value.to_bytes((len(bits) + 7) // 8, "little")


def random_block(w, h, seed, density):
    """A block of more than 64 cells, filled from a seed with density/256 live cells."""
    return bytes([0x80, w, h]) + struct.pack("<I", seed) + bytes([density])


def set_cell(x, y, alive, owner):
    return bytes([SET_CELL]) + coord(x) + coord(y) + bytes([alive | owner << 1])


def set_cell_raw(x, y, alive, owner):
    """SetCell with any alive and owner bytes (the world refuses owners above 7)."""
    return bytes([SET_CELL]) + coord(x) + coord(y) + bytes([0x80, alive, owner])


def raw_block(w, h, cells):
    """A block of at most 64 cells, one raw byte each."""
    return bytes([0x40, w, h]) + bytes(cells)


def put_raw(player, x, y, blk, rotation):
    """PutPattern for any player byte."""
    return bytes([PUT_PATTERN, 0x80, player]) + coord(x) + coord(y) + blk + bytes([rotation])


def tune_factor_bits(value):
    """The decay factor set to any float."""
    return bytes([TUNE, 2, 0x80]) + struct.pack("<f", value)


def raw_world(w, h):
    """Sides as raw 32-bit values."""
    return bytes([247, 0]) + struct.pack("<II", w, h)


def raw_cell(x, y, alive, owner, age):
    return bytes([RAW_CELL]) + coord(x) + coord(y) + bytes([alive | owner << 1, age])


def step(n=1):
    out = b""
    while n > 0:
        out += bytes([STEP, min(n, 4) - 1])
        n -= 4
    return out


def put(player, x, y, blk, rotation):
    return bytes([PUT_PATTERN, player]) + coord(x) + coord(y) + blk + bytes([rotation])


def cost(player, x, y, blk, rotation):
    return bytes([GET_BUILD_COST, player]) + coord(x) + coord(y) + blk + struct.pack("<I", rotation)


def credit(owner, value):
    return bytes([SET_CREDIT, 0x80 | owner]) + struct.pack("<f", value)


def tune(which, index):
    return bytes([TUNE, which, index])


def get_cell(x, y):
    return bytes([GET_CELL]) + coord(x) + coord(y)


GLIDER = ["111", "100", "010"]
BLINKER = ["111"]


def world(w, h):
    return bytes([w, h])


seeds = {
    "empty-0x0": world(0, 0) + set_cell(1, 1, 1, 1) + get_cell(0, 0) + put(1, 0, 0, block(GLIDER), 0)
    + cost(1, 0, 0, block(GLIDER), 0) + step(2),
    "zero-width-0x5": world(0, 5) + set_cell(3, 3, 1, 2) + get_cell(3, 3) + put(2, 1, 1, block(GLIDER), 1)
    + step(1),
    "zero-height-5x0": world(5, 0) + cost(3, 2, 2, block(GLIDER), 2) + raw_cell(1, 1, 1, 1, 0) + step(1),
    "one-cell-1x1": world(1, 1) + set_cell(0, 0, 1, 3) + put(3, 0, 0, block(GLIDER), 3)
    + cost(4, 0, 0, block(GLIDER), 0) + step(4) + get_cell(0xFFFFFFFF, 7),
    "strips-1x7": world(1, 7) + put(1, 0, 2, block(["1", "1", "1"]), 0) + step(3) + get_cell(0, 6),
    "strip-2x5-line": world(2, 5) + set_cell(0, 1, 1, 3) + set_cell(0, 2, 1, 3) + set_cell(0, 3, 1, 3)
    + step(4),
    "blinker-5x5": world(5, 5) + credit(1, 10.0) + put(1, 1, 2, block(BLINKER), 0) + step(8),
    "corner-blinker-5x5": world(5, 5) + set_cell(3, 4, 1, 1) + set_cell(4, 4, 1, 1) + set_cell(0, 4, 1, 1)
    + step(4),
    "gliders-40x40": world(40, 40) + credit(2, 1e6) + b"".join(
        put(1 + r % 6, 5 + 9 * r, 7 + 4 * r, block(GLIDER), r) for r in range(4))
    + step(20) + cost(2, 10, 10, block(GLIDER), 5),
    "dense-37x29": world(37, 29) + put(4, 0, 0, random_block(37, 29, 12345, 80), 0)
    + put(5, 10, 3, random_block(20, 9, 777, 128), 2) + step(24) + cost(5, 3, 3, random_block(30, 30, 99, 200), 1),
    "wrap-big-block-3x2": world(3, 2) + put(1, 0, 0, block(["1111", "1011", "1110"]), 0)
    + cost(2, 0xFFFFFFFF, 0xFFFFFFFE, block(["1111", "1011", "1110"]), 7) + step(2),
    "near-2to32-6x5": world(6, 5) + put(2, 0xFFFFFFFF, 0xFFFFFFFE, block(["111"]), 0)
    + cost(3, 0xFFFFFFFF, 0xFFFFFFFE, block(["111"]), 0) + get_cell(0xFFFFFFFF, 0x80000001)
    + set_cell(0x12345678, 0xFFFFFFF0, 1, 6) + step(2),
    "odd-credits-33x17": world(33, 17) + credit(1, float("nan")) + credit(2, float("inf"))
    + credit(3, -5.0) + credit(7, 1e-45) + put(1, 3, 3, random_block(16, 10, 4242, 100), 0)
    + set_cell(20, 5, 1, 7) + set_cell(21, 5, 1, 7) + set_cell(22, 5, 1, 7) + step(12),
    "aged-cells-17x9": world(17, 9) + raw_cell(4, 4, 0, 1, 127) + raw_cell(5, 4, 0, 2, 128)
    + raw_cell(6, 4, 1, 3, 126) + raw_cell(8, 4, 0, 0, 128) + put(2, 3, 3, block(GLIDER), 1) + step(16),
    # 129 x 97 cells, most of them covered at random: thousands of births and deaths a step.
    "busy-129x97": bytes([255, 252]) + credit(3, 5e4) + put(3, 0, 0, random_block(129, 97, 2024, 110), 0)
    + put(5, 60, 40, random_block(100, 60, 11, 140), 3) + step(4),
    "raw-owners-and-bytes-11x9": world(11, 9) + set_cell_raw(1, 1, 2, 3) + set_cell_raw(2, 2, 1, 200)
    + set_cell_raw(3, 3, 255, 7) + put_raw(200, 4, 4, block(GLIDER), 0) + put_raw(8, 0, 0, block(GLIDER), 1)
    + put(2, 5, 2, raw_block(3, 3, [2, 255, 7, 128, 0, 0, 0, 1, 0]), 2) + step(6),
    "odd-decay-factors-15x13": world(15, 13) + put(1, 2, 2, random_block(12, 10, 555, 100), 0)
    + put(3, 7, 5, random_block(9, 8, 9, 120), 1) + tune_factor_bits(float("nan")) + step(3)
    + tune_factor_bits(float("inf")) + step(3) + tune_factor_bits(1e10) + step(2)
    + tune_factor_bits(-3e9) + tune(1, 8) + step(2),
    "raw-sides-refused": raw_world(65536, 65536) + set_cell(1, 1, 1, 1) + put(1, 0, 0, block(GLIDER), 0)
    + cost(1, 0, 0, block(GLIDER), 0) + step(1) + get_cell(3, 3),
    "raw-sides-small-3x7": raw_world(3, 7) + put(2, 0, 0, block(GLIDER), 0) + step(2),
    "tunings-31x11": world(31, 11) + tune(0, 12) + tune(1, 2) + tune(2, 7) + tune(3, 5)
    + put(6, 2, 2, random_block(25, 8, 31337, 90), 0) + step(10) + tune(0, 3) + tune(4, 11)
    + tune(5, 13) + step(10) + tune(6, 6) + cost(6, 1, 1, block(GLIDER), 0),
}

# fuzz_engine: a pace byte (even quiet, odd busy), then operations.
# Bit 1 of the pace byte ends the input by deleting the engine as it is.
(E_SIZE, E_PLAYERS, E_FILL, E_INIT, E_CLOSE, E_RUN, E_STOP, E_LOCK, E_UNLOCK, E_STEP, E_CELLS,
 E_PRICE, E_PLACE, E_UPDATED, E_BALANCE, E_WORLD_SIZE, E_FIELD) = range(17)
QUIET, BUSY, QUIET_DELETED, BUSY_DELETED = range(4)
SIDE = {0: 0, 1: 1, 2: 2, 3: 3, 5: 5, 8: 7, 13: 8, 16: 9, 33: 11, 40: 12, 65536: 13, 2**32 - 1: 15}
BALANCE = {0: 0, 1000: 2, 25000: 4, 85000: 5, 1e9: 6, "nan": 7}


def e_size(w, h):
    return bytes([E_SIZE, SIDE[w], SIDE[h]])


def e_setup(w, h, players, fill, seed):
    return e_size(w, h) + bytes([E_PLAYERS, players, E_FILL, fill, E_INIT, seed])


def e_glider_op(op, player, x, y, rotation):
    return bytes([op, player, x, y, rotation])


def e_raw_size(w, h):
    return bytes([E_SIZE, 0xF0]) + struct.pack("<I", w) + bytes([0xF0]) + struct.pack("<I", h)


def e_field(which, value):
    """Writes width (0), height (1), cellCount (2) or playerCount (3) directly."""
    if which == 3:
        return bytes([E_FIELD, 3, value])
    return bytes([E_FIELD, which]) + struct.pack("<I", value)


def e_block_op(op, player, x, y, w, h, cells, rotation):
    return bytes([op, player, x, y, 0xFE, w, h]) + bytes(cells) + bytes([rotation])


engine_seeds = {
    "quiet-play-16x8": bytes([0]) + e_setup(16, 8, 6, 1, 7) + bytes([E_RUN, E_UPDATED, E_UPDATED])
    + bytes([E_BALANCE, 0, BALANCE[25000]]) + e_glider_op(E_PRICE, 1, 3, 3, 0)
    + e_glider_op(E_PLACE, 1, 3, 3, 1) + bytes([E_LOCK, E_STEP, E_CELLS, E_UNLOCK, E_STOP, E_STEP]),
    "restart-cycles-13x13": bytes([0]) + e_setup(13, 13, 3, 1, 1)
    + bytes([E_RUN, E_STOP, E_CLOSE, E_INIT, 2, E_RUN, E_RUN, E_STOP, E_STOP, E_CLOSE, E_CLOSE]),
    "busy-placements-40x33": bytes([1]) + e_setup(40, 33, 6, 1, 3) + bytes([E_RUN])
    + bytes([E_BALANCE, 1, BALANCE[1e9]]) + b"".join(
        e_glider_op(E_PLACE, 2, 5 * r, 3 * r, r) for r in range(6)) + bytes([E_LOCK, E_LOCK, E_UNLOCK])
    + e_glider_op(E_PRICE, 2, 250, 0xF3, 2) + bytes([E_UNLOCK, E_UNLOCK, E_STOP, E_STEP]),
    "wrong-states": bytes([0]) + bytes([E_CLOSE, E_STEP, E_CELLS, E_LOCK, E_UNLOCK, E_STOP, E_UPDATED])
    + e_glider_op(E_PLACE, 1, 0, 0, 0) + e_glider_op(E_PRICE, 1, 0, 0, 0xFF)
    + e_size(65536, 8) + e_size(2**32 - 1, 2**32 - 1) + bytes([E_PLAYERS, 0, E_PLAYERS, 7, E_WORLD_SIZE]),
    "settings-after-init-5x3": bytes([0]) + e_setup(5, 3, 2, 0, 0) + e_size(8, 8)
    + bytes([E_PLAYERS, 6, E_FILL, 1, E_INIT, 9, E_WORLD_SIZE]) + e_glider_op(E_PLACE, 7, 1, 1, 0)
    + e_glider_op(E_PLACE, 1, 1, 1, 0xFF) + bytes([E_BALANCE, 0, BALANCE["nan"]])
    + e_glider_op(E_PLACE, 1, 1, 1, 3),
    "fields-out-of-step-9x7": bytes([QUIET]) + e_raw_size(9, 7) + bytes([E_PLAYERS, 6, E_FILL, 1, E_INIT, 3, E_CLOSE]) + e_field(2, 1000)
    + bytes([E_INIT, 4, E_CLOSE]) + e_field(3, 0) + bytes([E_INIT, 5, E_CLOSE]) + e_field(3, 200) + e_field(2, 20)
    + bytes([E_INIT, 6, E_STEP]) + e_field(0, 65536) + e_field(1, 65536) + bytes([E_CLOSE, E_INIT, 7]),
    "raw-sizes-and-blocks-8x6": bytes([QUIET]) + e_raw_size(70000, 3) + e_raw_size(8, 6)
    + bytes([E_PLAYERS, 3, E_FILL, 1, E_INIT, 8, E_BALANCE, 2, BALANCE[1e9]])
    + e_block_op(E_PRICE, 3, 1, 1, 3, 3, [2, 255, 7, 128, 0, 0, 0, 1, 0], 1)
    + e_block_op(E_PLACE, 3, 1, 1, 3, 3, [2, 255, 7, 128, 0, 0, 0, 1, 0], 1)
    + e_block_op(E_PLACE, 200, 2, 2, 2, 2, [9, 9, 9, 9], 0) + bytes([E_STEP, E_STEP]),
    "deleted-while-running-12x10": bytes([BUSY_DELETED]) + e_raw_size(12, 10)
    + bytes([E_PLAYERS, 6, E_FILL, 1, E_INIT, 2])
    + bytes([E_RUN, E_LOCK, E_UPDATED, E_UNLOCK, E_LOCK]),
    "deleted-while-quiet-8x8": bytes([QUIET_DELETED]) + e_setup(8, 8, 2, 1, 9) + bytes([E_RUN, E_UPDATED]),
    "close-init-while-running-8x8": bytes([1]) + e_setup(8, 8, 4, 1, 5)
    + bytes([E_RUN, E_CLOSE, E_INIT, 6, E_UPDATED, E_CLOSE, E_STOP, E_INIT, 1]),
}

root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
for folder, corpus in (("world", seeds), ("engine", engine_seeds)):
    here = os.path.join(root, folder)
    os.makedirs(here, exist_ok=True)
    for name, data in corpus.items():
        with open(os.path.join(here, name), "wb") as f:
            f.write(data)
    print(f"{len(corpus)} seed inputs written to {here}")
