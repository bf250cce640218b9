#!/usr/bin/python3
"""Builds a file tree for the file monitor benchmark.

About 20 entries per directory, depth 5, names of 8 to 30 characters in
mixed case, full paths of about 130 characters. The same seed gives the
same tree. Two shapes:

- packed (the default): each directory's files written one after another,
  small files of varied sizes, all times of the moment they were made;
- spread: every directory first, then the files in random order across
  them (so that no directory's entries or inodes sit together), last-write
  times spread over five years (every season's offset from UTC), lognormal
  sizes up to 1 GB, files above 16 KB sparse;
- content: as packed, but with real content of a realistic spread of sizes
  (lognormal, median about 3 KB, a few files of tens of megabytes; about
  20 KB a file on average), for the benchmarks that read every byte.

    make_tree.py ROOT FILES [packed|spread|content]
"""
import os
import random
import sys

LETTERS = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-"
DEPTH = 5


def name(rng):
    return "".join(rng.choice(LETTERS) for _ in range(rng.randint(8, 30)))


FIVE_YEARS = 5 * 365 * 86400
SPARSE_ABOVE = 16 * 1024


def spread(root, files, branching, per_directory, rng):
    directories = []
    stack = [(root, 0)]
    while stack:
        path, depth = stack.pop()
        directories.append(path)
        if depth < DEPTH:
            for _ in range(branching):
                child = os.path.join(path, name(rng))
                os.mkdir(child)
                stack.append((child, depth + 1))
    slots = [d for d in directories for _ in range(per_directory)][:files]
    rng.shuffle(slots)
    now = 1_790_000_000  # a fixed moment, so the tree is the same every time
    for directory in slots:
        path = os.path.join(directory, name(rng) + ".dat")
        size = min(int(rng.lognormvariate(8, 3)), 1 << 30)
        with open(path, "wb") as out:
            if size > SPARSE_ABOVE:
                out.truncate(size)
            else:
                out.write(b"x" * size)
        stamp = now - rng.randint(0, FIVE_YEARS)
        os.utime(path, (stamp, stamp))
    return len(slots)


def main():
    root, files = sys.argv[1], int(sys.argv[2])
    shape = sys.argv[3] if len(sys.argv) > 3 else "packed"
    # Branching b and files per directory f with b + f about 20 entries.
    branching = next(b for b in range(2, 20) if sum(b ** i for i in range(DEPTH + 1)) * (20 - b) >= files)
    directories = sum(branching ** i for i in range(DEPTH + 1))
    per_directory = -(-files // directories)
    rng = random.Random(1234)
    os.makedirs(root, exist_ok=True)
    if shape == "spread":
        made = spread(root, files, branching, per_directory, rng)
        print(f"{made} files (spread) in {directories} directories under {root}")
        return
    made = 0
    stack = [(root, 0)]
    os.makedirs(root, exist_ok=True)
    block = random.Random(99).randbytes(1 << 20) * 64  # 64 MB of varied bytes to cut from
    while stack and made < files:
        path, depth = stack.pop()
        for _ in range(per_directory):
            if made >= files:
                break
            with open(os.path.join(path, name(rng) + ".dat"), "wb") as out:
                if shape == "content":
                    size = min(int(rng.lognormvariate(8.1, 1.9)), len(block))
                    start = rng.randint(0, len(block) - size)
                    out.write(block[start:start + size])
                else:
                    out.write(b"x" * rng.randint(0, 200))
            made += 1
        if depth < DEPTH:
            for _ in range(branching):
                child = os.path.join(path, name(rng))
                os.mkdir(child)
                stack.append((child, depth + 1))
    print(f"{made} files in {directories} directories under {root}")


if __name__ == "__main__":
    main()
