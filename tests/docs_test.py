"""The README and docs/ point at what is there: each relative link, each path in backticks (`a/b` may be a/b.*)."""
import glob
import os
import re

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TOP = {name for name in os.listdir(ROOT) if not name.startswith(".") or name == ".ci"} - {"build", "dist"}
exists = lambda path: bool(glob.glob(os.path.join(ROOT, path)) or glob.glob(os.path.join(ROOT, path + ".*")))  # noqa


def test_every_link_and_every_path_named_in_the_documents_exists():
    missing = []
    for document in [os.path.join(ROOT, "README.md")] + glob.glob(os.path.join(ROOT, "docs", "*.md")):
        text = re.sub(r"```.*?```", "", open(document, encoding="utf-8").read(), flags=re.S)
        here = os.path.relpath(os.path.dirname(document), ROOT)
        links = [os.path.normpath(os.path.join(here, target.split("#")[0]))
                 for target in re.findall(r"\]\(([^)\s]+)\)", text) if not re.match(r"[a-z]+:", target)]
        named = [path for path in re.findall(r"`([^`\s]+/[^`\s]*)`", text) if path.split("/")[0] in TOP]
        missing += [(os.path.basename(document), path) for path in links + named if not exists(path)]
    assert missing == []
