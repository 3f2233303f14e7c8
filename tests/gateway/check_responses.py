#!/usr/bin/env python3
"""Checks recorded HTTP answers against the gateway's OpenAPI document.

usage: check_responses.py OPENAPI.json RESPONSES.jsonl

Each line of RESPONSES is {"method", "path", "status", "content_type",
"body"}. An answer must be declared for its path, method and status (an
unknown path may only be 404 or 405), and a JSON body must match the
declared schema (JSON Schema 2020-12, as OpenAPI 3.1 uses). The document's
schemas must themselves be valid JSON Schema 2020-12. Exits 1 naming every
mismatch.
"""
import json
import re
import sys

import jsonschema


def operations(doc):
    for template, item in doc["paths"].items():
        pattern = re.compile("^" + re.sub(r"\{[^}]+\}", "[^/]+", template) + "$")
        yield pattern, template, item


def declared(doc, record):
    """The response object for the record, or an error message."""
    method = record["method"].lower()
    if method == "head":
        method = "get"
    for pattern, template, item in operations(doc):
        if not pattern.match(record["path"]):
            continue
        if method not in item:
            if record["status"] == 405:
                return {"content": {"application/json": {"schema": {"$ref": "#/components/schemas/Error"}}}}
            return f"{record['method']} {template} is not in the document"
        responses = item[method]["responses"]
        found = responses.get(str(record["status"]))
        if found is None:
            return f"{record['method']} {template} does not declare status {record['status']}"
        if "$ref" in found:
            found = doc["components"]["responses"][found["$ref"].rsplit("/", 1)[1]]
        return found
    if record["status"] in (404, 405):
        return {"content": {"application/json": {"schema": {"$ref": "#/components/schemas/Error"}}}}
    return f"{record['path']} is not in the document (status {record['status']})"


def schemas(node):
    """Every schema object in the document (components and inline)."""
    if isinstance(node, dict):
        if "schema" in node and isinstance(node["schema"], dict):
            yield node["schema"]
        for value in node.values():
            yield from schemas(value)
    elif isinstance(node, list):
        for value in node:
            yield from schemas(value)


def main():
    doc = json.load(open(sys.argv[1], encoding="utf-8"))
    problems = []
    # The schemas themselves must be JSON Schema 2020-12 (the OpenAPI
    # validator checks the document's structure, not its schemas' words).
    for schema in list(schemas(doc)) + list(doc["components"]["schemas"].values()):
        try:
            jsonschema.Draft202012Validator.check_schema(schema)
        except jsonschema.SchemaError as error:
            problems.append(f"schema {json.dumps(schema)[:80]}: {error.message}")
    checked = 0
    for number, line in enumerate(open(sys.argv[2], encoding="utf-8"), 1):
        record = json.loads(line)
        response = declared(doc, record)
        where = f"answer {number}: {record['method']} {record['path']} -> {record['status']}"
        if isinstance(response, str):
            problems.append(f"{where}: {response}")
            continue
        media = record["content_type"].split(";")[0].strip()
        content = response.get("content", {})
        if not record["body"] and not content:
            checked += 1
            continue
        if media not in content:
            problems.append(f"{where}: content type {media!r} is not declared ({sorted(content)})")
            continue
        schema = content[media].get("schema")
        if media == "application/json" and schema is not None:
            body = json.loads(record["body"])
            root = dict(schema, components=doc["components"])
            validator = jsonschema.Draft202012Validator(root)
            for error in validator.iter_errors(body):
                path = "/".join(str(p) for p in error.absolute_path)
                problems.append(f"{where}: at /{path}: {error.message}")
        checked += 1
    for problem in problems:
        print(problem)
    print(f"check_responses: {checked} answers checked, {len(problems)} mismatches")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
