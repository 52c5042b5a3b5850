#!/usr/bin/env python3
# Puts the sections a benchmark run wrote into docs/performance.md, between its results
# markers: each replaces the section of the same title, or is added after them; sections not
# run keep their figures. A benchmark's "<!-- ran: … -->" line becomes the line under the
# titles of the sections it wrote, saying when it ran and the load around it.
#
#   merge-results.py DOC RESULTS MACHINE
import os, re, sys
doc, results, machine = sys.argv[1:]
begin, end = "<!-- results:begin -->", "<!-- results:end -->"
text = open(doc, encoding="utf-8").read() if os.path.exists(doc) else f"# Performance\n\n{begin}\n{end}\n"
if begin not in text or end not in text:
    text += f"\n{begin}\n{end}\n"
head, rest = text.split(begin, 1)
old, tail = rest.split(end, 1)

# The run line of each benchmark goes under the titles of the sections it wrote.
fresh, pending = [], []
for line in open(results, encoding="utf-8").read().splitlines(keepends=True):
    m = re.match(r"<!-- ran: (.*); load (.*) before, (.*) after -->", line)
    if m:
        stamp = f"Run of {m[1]} on {machine}; load average {m[2]} before, {m[3]} after.\n\n"
        for i in pending:
            title, body = fresh[i]
            first, after = body.split("\n", 1)
            fresh[i] = (title, f"{first}\n\n{stamp}{after.lstrip(chr(10))}")
        pending = []
    elif line.startswith("### "):
        fresh.append((line.rstrip("\n"), line))
        pending.append(len(fresh) - 1)
    elif fresh:
        fresh[-1] = (fresh[-1][0], fresh[-1][1] + line)

kept = [(p.splitlines()[0], p) for p in re.split(r"(?m)^(?=### )", old)[1:]]
intro = ("Each section below is replaced by the run of its benchmark and says when that ran, on what\n"
         "machine and at what load; sections not run again keep their earlier figures.\n\n")
new = dict(fresh)
merged = [new.get(title, body) for title, body in kept]
done = {title for title, _ in kept}
merged += [body for title, body in fresh if title not in done]
body = intro + "".join(b.rstrip("\n") + "\n\n" for b in merged)
open(doc, "w", encoding="utf-8").write(f"{head}{begin}\n{body}{end}{tail}")
