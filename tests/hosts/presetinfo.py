#!/usr/bin/env python3
"""Read N-Triples (as written by `serdi -o ntriples`) on stdin and print facts
about one LV2 preset.

  presetinfo.py label  PRESET_URI   -> its rdfs:label
  presetinfo.py values PRESET_URI   -> one "SYMBOL VALUE" line per port value
  presetinfo.py list   PLUGIN_URI   -> "PRESET_URI<TAB>LABEL" for every preset
                                       that applies to the plug-in
  presetinfo.py ports  PLUGIN_URI   -> "INDEX SYMBOL" for every port

Exit status 1 when nothing was found, so callers notice a missing preset.
"""
import re
import sys

RDFS_LABEL = "http://www.w3.org/2000/01/rdf-schema#label"
LV2_PORT = "http://lv2plug.in/ns/lv2core#port"
LV2_SYMBOL = "http://lv2plug.in/ns/lv2core#symbol"
LV2_APPLIES = "http://lv2plug.in/ns/lv2core#appliesTo"
PSET_VALUE = "http://lv2plug.in/ns/ext/presets#value"

TERM = r'(<[^>]*>|_:\S+|"(?:[^"\\]|\\.)*"(?:\^\^<[^>]*>|@[A-Za-z0-9-]+)?)'
TRIPLE = re.compile(r"^\s*" + TERM + r"\s+" + TERM + r"\s+" + TERM + r"\s*\.\s*$")


def node(t):
    if t.startswith("<"):
        return t[1:-1]
    if t.startswith('"'):
        end = t.rindex('"')
        return t[1:end].encode("ascii", "backslashreplace").decode("unicode_escape")
    return t


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    cmd, uri = sys.argv[1], sys.argv[2]
    triples = []
    for line in sys.stdin:
        m = TRIPLE.match(line)
        if m:
            triples.append(tuple(node(x) for x in m.groups()))
    if cmd == "label":
        for s, p, o in triples:
            if s == uri and p == RDFS_LABEL:
                print(o)
                return 0
        return 1
    if cmd == "values":
        ports = [o for s, p, o in triples if s == uri and p == LV2_PORT]
        found = 0
        for b in ports:
            sym = [o for s, p, o in triples if s == b and p == LV2_SYMBOL]
            val = [o for s, p, o in triples if s == b and p == PSET_VALUE]
            if sym and val:
                print("%s %s" % (sym[0], float(val[0])))
                found += 1
        return 0 if found else 1
    if cmd == "list":
        labels = {s: o for s, p, o in triples if p == RDFS_LABEL}
        presets = sorted({s for s, p, o in triples if p == LV2_APPLIES and o == uri})
        for s in presets:
            print("%s\t%s" % (s, labels.get(s, "")))
        return 0 if presets else 1
    if cmd == "ports":
        lv2_index = "http://lv2plug.in/ns/lv2core#index"
        ports = [o for s, p, o in triples if s == uri and p == LV2_PORT]
        rows = []
        for b in ports:
            idx = [o for s, p, o in triples if s == b and p == lv2_index]
            sym = [o for s, p, o in triples if s == b and p == LV2_SYMBOL]
            if idx and sym:
                rows.append((int(idx[0]), sym[0]))
        for i, sym in sorted(rows):
            print("%d %s" % (i, sym))
        return 0 if rows else 1
    print("unknown command %s" % cmd, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
