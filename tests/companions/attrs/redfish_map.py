#!/usr/bin/python3
"""Reads an attribute registry as a Redfish client does, independently of the tool.

  redfish_map.py check REGISTRY...   evaluates the "Map" Dependencies on the attributes'
      CurrentValue and compares Hidden, GrayOut and ReadOnly of every attribute without
      Oem.Kestrel.UnmappedConditions with what the registry reports; checks that the Menus nest
      (each MenuPath is its parent's path and its MenuName) and that every attribute's MenuPath
      names a menu. Prints each finding; exits 1 when there is one.
  redfish_map.py flips REGISTRY      prints, as JSON, one value per attribute that a dependency
      reads which changes the outcome of at least one of its terms: {"NAME": VALUE, ...}; those
      that cannot be set now (hidden, read-only, not settable) are left out.
  redfish_map.py counts REGISTRY     prints the dependencies and unmapped conditions by reason.

Evaluation: the MapFrom terms of a dependency are taken in order, each joined to the result so
far by its MapTerms (AND, OR); a term compares the MapFromAttribute's MapFromProperty with
MapFromValue (EQU, NEQ; GTR, GEQ, LSS, LEQ for numbers). A property that dependencies of an
attribute map to takes their MapToValue when one of them evaluates true, and the opposite when
none does; a property no dependency maps to keeps the registry's value."""
import collections
import json
import sys


def same(a, b):
    # JSON booleans are not numbers.
    return type(a) is type(b) and a == b if isinstance(a, bool) or isinstance(b, bool) else a == b


def term(attributes, m):
    current = attributes[m["MapFromAttribute"]].get(m["MapFromProperty"])
    value, condition = m["MapFromValue"], m["MapFromCondition"]
    if condition == "EQU":
        return same(current, value)
    if condition == "NEQ":
        return not same(current, value)
    numbers = all(isinstance(x, (int, float)) and not isinstance(x, bool) for x in (current, value))
    if not numbers:
        return False
    return {"GTR": current > value, "GEQ": current >= value, "LSS": current < value, "LEQ": current <= value}[condition]


def chain(attributes, map_from):
    result = None
    for m in map_from:
        t = term(attributes, m)
        if result is None:
            result = t
        elif m["MapTerms"] == "AND":
            result = result and t
        elif m["MapTerms"] == "OR":
            result = result or t
        else:
            raise ValueError("unknown MapTerms " + m["MapTerms"])
    return bool(result)


def load(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)["RegistryEntries"]


def check(path):
    entries = load(path)
    attributes = {a["AttributeName"]: a for a in entries["Attributes"]}
    findings = []
    by_target = collections.defaultdict(lambda: collections.defaultdict(list))
    for d in entries.get("Dependencies", []):
        dep = d["Dependency"]
        if d["Type"] != "Map" or d["DependencyFor"] != dep["MapToAttribute"]:
            findings.append("not a Map dependency of its own attribute: %s" % json.dumps(d))
            continue
        for m in dep["MapFrom"]:
            if m["MapFromAttribute"] not in attributes:
                findings.append("%s reads %s, which is no attribute" % (dep["MapToAttribute"], m["MapFromAttribute"]))
        by_target[dep["MapToAttribute"]][dep["MapToProperty"]].append(dep)
    if findings:
        return findings
    checked = 0
    for name, a in attributes.items():
        if a["Oem"]["Kestrel"].get("UnmappedConditions"):
            continue
        for prop in ("Hidden", "GrayOut", "ReadOnly"):
            deps = by_target[name].get(prop)
            if not deps:
                continue
            hit = [d for d in deps if chain(attributes, d["MapFrom"])]
            value = hit[0]["MapToValue"] if hit else not deps[0]["MapToValue"]
            checked += 1
            if value != a[prop]:
                findings.append("%s: %s is %s, the dependencies give %s" % (name, prop, a[prop], value))
    menus = {m["MenuPath"]: m for m in entries.get("Menus", [])}
    names = [m["MenuName"] for m in entries.get("Menus", [])]
    if len(set(names)) != len(names):
        findings.append("MenuName repeated")
    for menu_path, m in menus.items():
        parent = menu_path.rsplit("/", 1)[0]
        if not menu_path.endswith("/" + m["MenuName"]) or (parent != "." and parent not in menus):
            findings.append("menu %s does not nest under a menu" % menu_path)
    for name, a in attributes.items():
        if a["MenuPath"] not in menus:
            findings.append("%s: MenuPath %s names no menu" % (name, a["MenuPath"]))
    print("%s: %d properties from dependencies" % (path, checked))
    return findings


def flips(path):
    entries = load(path)
    attributes = {a["AttributeName"]: a for a in entries["Attributes"]}
    terms = collections.defaultdict(list)
    for d in entries.get("Dependencies", []):
        for m in d["Dependency"]["MapFrom"]:
            terms[m["MapFromAttribute"]].append(m)
    out = {}
    for name, ms in terms.items():
        a = attributes[name]
        if a["Hidden"] or a["ReadOnly"] or not a["Oem"]["Kestrel"]["Settable"]:
            continue
        current = a["CurrentValue"]
        if a["Type"] == "Enumeration":
            candidates = [v["ValueName"] for v in a["Value"]]
        elif a["Type"] == "Boolean":
            candidates = [not current]
        else:
            low, high = a.get("LowerBound"), a.get("UpperBound")
            step = a.get("ScalarIncrement") or 1
            candidates = []
            for m in ms:
                for v in (m["MapFromValue"], m["MapFromValue"] + step, m["MapFromValue"] - step, low, high):
                    if v is not None and low <= v <= high and (v - low) % step == 0:
                        candidates.append(v)
        for v in candidates:
            if same(v, current):
                continue
            before = {json.dumps(m): term(attributes, m) for m in ms}
            changed = dict(attributes)
            changed[name] = dict(a, CurrentValue=v)
            if any(term(changed, m) != before[json.dumps(m)] for m in ms):
                out[name] = v
                break
    print(json.dumps(out))
    return []


def counts(path):
    entries = load(path)
    reasons = collections.Counter()
    mapped = set(d["DependencyFor"] for d in entries.get("Dependencies", []))
    unmapped = set()
    pairs = 0
    for a in entries["Attributes"]:
        for u in a["Oem"]["Kestrel"].get("UnmappedConditions", []):
            pairs += 1
            unmapped.add(a["AttributeName"])
            reasons[u["Reason"]] += 1
    print(json.dumps({"attributes": len(entries["Attributes"]), "menus": len(entries.get("Menus", [])),
                      "dependencies": len(entries.get("Dependencies", [])),
                      "attributes under conditions": len(mapped | unmapped),
                      "attributes with all conditions mapped": len(mapped - unmapped),
                      "attributes with unmapped conditions": len(unmapped),
                      "unmapped conditions": pairs, "reasons": reasons}, indent=1))
    return []


def main():
    if len(sys.argv) < 3 or sys.argv[1] not in ("check", "flips", "counts"):
        print(__doc__, file=sys.stderr)
        return 2
    findings = []
    for path in sys.argv[2:]:
        findings += {"check": check, "flips": flips, "counts": counts}[sys.argv[1]](path)
    for f in findings:
        print(f)
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())
