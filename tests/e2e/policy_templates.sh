#!/usr/bin/env bash
# The group-policy templates: well-formed XML, every text and dialog the
# ADMX names exists in the ADML, and every dialog control refers to an
# element of its policy.
set -euo pipefail
tool=$1
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

"$tool" "$out"
xmllint --noout "$out/warderon.admx" "$out/en-US/warderon.adml"
python3 - "$out/warderon.admx" "$out/en-US/warderon.adml" <<'PY'
import re, sys
import xml.etree.ElementTree as ET

ns = {"p": "http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions"}
admx = ET.parse(sys.argv[1]).getroot()
adml = ET.parse(sys.argv[2]).getroot()
strings = {s.get("id") for s in adml.iterfind(".//p:stringTable/p:string", ns)}
presentations = {p.get("id"): p for p in adml.iterfind(".//p:presentationTable/p:presentation", ns)}
categories = {c.get("name") for c in admx.iterfind(".//p:categories/p:category", ns)}
problems = []

for element in admx.iter():
    for name, value in element.attrib.items():
        for kind, ref in re.findall(r"\$\((string|presentation)\.([^)]*)\)", value):
            known = strings if kind == "string" else presentations
            if ref not in known:
                problems.append(f"{kind} {ref} is missing from the ADML")
    parent = element.find("p:parentCategory", ns)
    if parent is not None and parent.get("ref") not in categories:
        problems.append(f"category {parent.get('ref')} is not defined")

policies = list(admx.iterfind(".//p:policies/p:policy", ns))
root_key = "Software\\Policies\\dunmarrow\\orvan\\warderon"
for policy in policies:
    name = policy.get("name")
    if not policy.get("key", "").startswith(root_key):
        problems.append(f"policy {name} writes outside the program's key")
    ids = {e.get("id") for e in policy.iterfind("p:elements/*", ns)}
    ref = re.match(r"\$\(presentation\.(.*)\)", policy.get("presentation", ""))
    controls = set()
    if ref and ref.group(1) in presentations:
        controls = {c.get("refId") for c in presentations[ref.group(1)]}
    if ids != controls:
        problems.append(f"policy {name}: elements {sorted(ids)} but dialog controls {sorted(controls)}")
    if not ids and policy.find("p:enabledValue", ns) is None:
        problems.append(f"policy {name} sets nothing")

names = {p.get("name") for p in policies}
for expected in ["Delay", "EmailSMTPServer", "SyslogTransport", "FilesEnabled", "List_IncludeDirs",
                 "List_AuthenticodeExceptions"]:
    if expected not in names:
        problems.append(f"policy {expected} is missing")

for problem in problems:
    print("policy templates:", problem)
print(f"policy templates: {len(policies)} policies, {len(strings)} texts, {len(problems)} problems")
sys.exit(1 if problems else 0)
PY
