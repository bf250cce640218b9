#!/usr/bin/python3
"""Builds a file tree for the file monitor benchmark.

About 20 entries per directory, depth 5, names of 8 to 30 characters in
mixed case, full paths of about 130 characters, small files of varied
sizes. The same seed gives the same tree.

    make_tree.py ROOT FILES
"""
import os
import random
import sys

LETTERS = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-"
DEPTH = 5


def name(rng):
    return "".join(rng.choice(LETTERS) for _ in range(rng.randint(8, 30)))


def main():
    root, files = sys.argv[1], int(sys.argv[2])
    # Branching b and files per directory f with b + f about 20 entries.
    branching = next(b for b in range(2, 20) if sum(b ** i for i in range(DEPTH + 1)) * (20 - b) >= files)
    directories = sum(branching ** i for i in range(DEPTH + 1))
    per_directory = -(-files // directories)
    rng = random.Random(1234)
    made = 0
    stack = [(root, 0)]
    os.makedirs(root, exist_ok=True)
    while stack and made < files:
        path, depth = stack.pop()
        for _ in range(per_directory):
            if made >= files:
                break
            with open(os.path.join(path, name(rng) + ".dat"), "wb") as out:
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
