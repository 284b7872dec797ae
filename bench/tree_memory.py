#!/usr/bin/python3
"""The peak memory, in KB, of a process and every process it started, however they regrouped:
the sum of their proportional set sizes (shared pages counted once), sampled every 0.1 s until
the process ends. Usage: tree_memory.py PID"""
import os
import sys
import time


def tree(root):
    parents = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as stat:
                    parents[int(entry)] = int(stat.read().rsplit(")", 1)[1].split()[1])
            except OSError:
                pass
    found, frontier = {root}, [root]
    while frontier:
        parent = frontier.pop()
        children = [pid for pid, ppid in parents.items() if ppid == parent and pid not in found]
        found.update(children)
        frontier.extend(children)
    return found


def pss(pid):
    try:
        with open("/proc/%d/smaps_rollup" % pid) as rollup:
            for line in rollup:
                if line.startswith("Pss:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


root = int(sys.argv[1])
peak = 0
while os.path.exists("/proc/%d" % root):
    peak = max(peak, sum(pss(pid) for pid in tree(root)))
    time.sleep(0.1)
print(peak)
