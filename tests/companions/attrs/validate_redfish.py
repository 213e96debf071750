#!/usr/bin/python3
"""Validates JSON documents against a DMTF Redfish schema (Draft 7), resolving every $ref from
the schema folder given. Usage: validate_redfish.py SCHEMA_DIR SCHEMA_FILE DOCUMENT...
Prints each error and exits 1 when a document does not validate, 2 when something is missing."""
import json
import os
import sys

import jsonschema


def main():
    if len(sys.argv) < 4:
        print(__doc__, file=sys.stderr)
        return 2
    folder, schema_name, documents = sys.argv[1], sys.argv[2], sys.argv[3:]
    store = {}
    for name in ("AttributeRegistry.v1_4_0.json", "Bios.v1_2_3.json", "Resource.json", "odata-v4.json"):
        path = os.path.join(folder, name)
        if not os.path.exists(path):
            print("missing schema " + path, file=sys.stderr)
            return 2
        with open(path, encoding="utf-8") as f:
            schema = json.load(f)
        store[schema["$id"]] = schema
        store["http://redfish.dmtf.org/schemas/v1/" + name] = schema
    schema = store["http://redfish.dmtf.org/schemas/v1/" + schema_name]
    resolver = jsonschema.RefResolver(base_uri=schema["$id"], referrer=schema, store=store)
    validator = jsonschema.Draft7Validator(schema, resolver=resolver)
    failed = False
    for document in documents:
        with open(document, encoding="utf-8") as f:
            instance = json.load(f)
        for error in validator.iter_errors(instance):
            failed = True
            print("%s: %s at %s" % (document, error.message, "/".join(str(p) for p in error.absolute_path)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
