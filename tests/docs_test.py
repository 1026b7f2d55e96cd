"""The README and the documents in docs/ point at what is there: every relative link, and every file or folder of
the tree that they name in backticks."""
import glob
import os
import re

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DOCUMENTS = [os.path.join(ROOT, "README.md")] + sorted(glob.glob(os.path.join(ROOT, "docs", "*.md")))
TOP = {name for name in os.listdir(ROOT) if not name.startswith(".") or name == ".ci"}


def expand(path):
    """`install/program_file.{h,cpp}` -> both paths."""
    found = re.search(r"\{([^}]*)\}", path)
    return [path] if not found else [one for choice in found[1].split(",")
                                      for one in expand(path[:found.start()] + choice + path[found.end():])]


def exists(path):
    # `common/files` names the .h and the .cpp
    return bool(glob.glob(os.path.join(ROOT, path)) or glob.glob(os.path.join(ROOT, path + ".*")))


def test_every_link_and_every_path_named_in_the_documents_exists():
    missing = []
    for document in DOCUMENTS:
        text = re.sub(r"```.*?```", "", open(document, encoding="utf-8").read(), flags=re.S)
        here = os.path.relpath(os.path.dirname(document), ROOT)
        for target in re.findall(r"\]\(([^)\s]+)\)", text):
            if not re.match(r"[a-z]+:", target) and not exists(os.path.normpath(os.path.join(here, target.split(
                    "#")[0]))):
                missing.append((os.path.basename(document), target))
        for named in re.findall(r"`([^`\s]+/[^`\s]*)`", text):
            if named.split("/")[0] in TOP and named.split("/")[0] not in ("build", "dist"):
                missing += [(os.path.basename(document), path) for path in expand(named) if not exists(path)]
    assert missing == []
