#!/usr/bin/python3
# Reads a Prometheus text exposition with the Prometheus project's own Python parser and
# prints one sample per line: NAME|LABEL=VALUE,...|VALUE (labels sorted). Exits 1, with the
# parser's complaint, when the text does not parse.
#   prometheus-read.py FILE
import sys
from prometheus_client.parser import text_string_to_metric_families

text = open(sys.argv[1], encoding="utf-8").read()
try:
    for family in text_string_to_metric_families(text):
        for s in family.samples:
            labels = ",".join(f"{k}={v}" for k, v in sorted(s.labels.items()))
            print(f"{s.name}|{labels}|{s.value!r}")
except Exception as e:
    print(f"not Prometheus text: {e}", file=sys.stderr)
    sys.exit(1)
