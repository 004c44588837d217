#!/usr/bin/python3
"""Fetches a server's /metrics and parses it with the Prometheus text parser.

Prints one line per sample, `NAME{LABEL=VALUE,...} VALUE` with the labels in
order, or fails when the text does not parse or a family lacks its help.
"""
import sys
import urllib.request

from prometheus_client.parser import text_string_to_metric_families

with urllib.request.urlopen(sys.argv[1], timeout=5) as answer:
    if not answer.headers["Content-Type"].startswith("text/plain; version=0.0.4"):
        sys.exit("unexpected content type " + answer.headers["Content-Type"])
    text = answer.read().decode("utf-8")
for family in text_string_to_metric_families(text):
    if not family.documentation:
        sys.exit("no HELP for " + family.name)
    for sample in family.samples:
        labels = ",".join("%s=%s" % (k, v) for k, v in sorted(sample.labels.items()))
        print("%s{%s} %r" % (sample.name, labels, float(sample.value)))
