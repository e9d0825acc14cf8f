#!/usr/bin/python3
# What a Prometheus server reads from a text exposition (the file named), by
# the prometheus_client package's own parser, as JSON:
# {"types": {family: type}, "samples": [[name, {label: value}, value], ...]}.
# A text the parser refuses ends it with the parser's error.
import json
import sys

from prometheus_client.parser import text_string_to_metric_families

types, samples = {}, []
with open(sys.argv[1], encoding="utf-8", newline="") as exposition:
    for family in text_string_to_metric_families(exposition.read()):
        types[family.name] = family.type
        samples += [[sample.name, sample.labels, sample.value] for sample in family.samples]
print(json.dumps({"types": types, "samples": samples}))
