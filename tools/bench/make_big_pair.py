#!/usr/bin/env python3
"""Makes a large old/new file pair for the apply benchmark, from a seed.

    make_big_pair.py [--seed N] [--size BYTES] [--edits N] DIR

writes DIR/old and DIR/new (1.5 GiB by default). The same seed, size and edit
count give the same bytes on every machine (Python 3.9 or later: only
random.Random's getrandbits, randbytes and randrange are used).

The old file is made of 4 KiB blocks of three kinds, drawn at random:
  - random bytes (incompressible), 40%;
  - random bytes over a 16-letter alphabet (about half compressible), 35%;
  - phrases: 64-byte pieces of a seeded 64 KiB dictionary, 25% (LZ-friendly,
    and many short repeats across the file, as in program text).
The new file is the old one with --edits edits at random places spread over
the whole file (sorted positions, uniform): a third each of
  - insertions of 1 to 8 KiB of fresh blocks,
  - deletions of 1 to 8 KiB,
  - byte changes: a stretch of 16 to 4096 bytes in which every 4th to 16th
    byte is changed (like relocated addresses in code), or 1 to 8 bytes
    replaced.
It prints the sizes, the edit counts and the first 12 hex digits of each
file's SHA-256, to compare with the README.
"""
import argparse
import hashlib
import os
import random
import sys

BLOCK = 4096
CHUNK = 1 << 20  # old bytes made and edited at a time
ALPHABET16 = bytes(b"etaoinshrdlcumwf"[i % 16] for i in range(256))


class Maker:
    def __init__(self, seed):
        self.rng = random.Random(seed)
        self.dictionary = self.rng.randbytes(64 * 1024).translate(
            bytes(0x20 + (i % 95) for i in range(256)))

    def block(self, length=BLOCK):
        rng = self.rng
        kind = rng.randrange(100)
        if kind < 40:
            return rng.randbytes(length)
        if kind < 75:
            return rng.randbytes(length).translate(ALPHABET16)
        pieces = []
        for _ in range((length + 63) // 64):
            at = rng.randrange(len(self.dictionary) - 64)
            pieces.append(self.dictionary[at:at + 64])
        return b"".join(pieces)[:length]

    def blocks(self, length):
        out = bytearray()
        while len(out) < length:
            out += self.block(min(BLOCK, length - len(out)))
        return bytes(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--size", type=int, default=1536 * 1024 * 1024)
    parser.add_argument("--edits", type=int, default=3000)
    parser.add_argument("dir")
    args = parser.parse_args()
    if args.size <= 0 or args.size >= 1 << 31:
        sys.exit("make_big_pair.py: --size must be between 1 and 2 GiB - 1")
    os.makedirs(args.dir, exist_ok=True)

    maker = Maker(args.seed)
    # Edits come from a generator of their own, so that their places don't
    # depend on the content drawn before them.
    edit_rng = random.Random(args.seed * 1000003 + 7)
    positions = sorted(edit_rng.randrange(args.size) for _ in range(args.edits))
    kinds = [edit_rng.randrange(3) for _ in range(args.edits)]
    counts = {"insert": 0, "delete": 0, "change": 0}
    hash_old, hash_new = hashlib.sha256(), hashlib.sha256()
    new_size = 0

    with open(os.path.join(args.dir, "old"), "wb") as old_file, \
            open(os.path.join(args.dir, "new"), "wb") as new_file:
        e = 0
        skip = 0  # bytes of a deletion still to drop at the next chunk's start
        for start in range(0, args.size, CHUNK):
            chunk = maker.blocks(min(CHUNK, args.size - start))
            old_file.write(chunk)
            hash_old.update(chunk)
            out = bytearray()
            at = min(skip, len(chunk))  # next old byte of the chunk to copy
            skip -= at
            end = start + len(chunk)
            while e < len(positions) and positions[e] < end:
                place = max(positions[e] - start, at)
                out += chunk[at:place]
                at = place
                kind = kinds[e]
                e += 1
                if kind == 0:
                    out += maker.blocks(1 + edit_rng.randrange(8192))
                    counts["insert"] += 1
                elif kind == 1:
                    length = 1 + edit_rng.randrange(8192)
                    dropped = min(length, len(chunk) - at)
                    at += dropped
                    skip += length - dropped
                    counts["delete"] += 1
                else:
                    if edit_rng.randrange(2):
                        length = 16 + edit_rng.randrange(4081)
                        step = 4 + edit_rng.randrange(13)
                        piece = bytearray(chunk[at:at + length])
                        for k in range(edit_rng.randrange(step), len(piece), step):
                            piece[k] = (piece[k] + 1 + edit_rng.randrange(255)) & 0xFF
                    else:
                        length = 1 + edit_rng.randrange(8)
                        piece = bytearray(edit_rng.randbytes(len(chunk[at:at + length])))
                    out += piece
                    at += len(piece)
                    counts["change"] += 1
            out += chunk[at:]
            new_file.write(out)
            hash_new.update(out)
            new_size += len(out)

    print(f"seed {args.seed}: old {args.size} bytes sha256 {hash_old.hexdigest()[:12]}, "
          f"new {new_size} bytes sha256 {hash_new.hexdigest()[:12]}; "
          f"{counts['insert']} insertions, {counts['delete']} deletions, "
          f"{counts['change']} byte changes")


if __name__ == "__main__":
    main()
