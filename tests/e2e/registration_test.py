"""Runs of the real installer under Wine record the product in the
registration file of the prefix's profile folder, beside the entries of
other products, and never write through a symbolic link."""
import os

import pytest

import harness
from conftest import serve

# As other products may leave it: LF line ends, a comment, loose spacing,
# an unquoted value and a key the installer does not know.
BEFORE = (b"# written by another tool\n"
          b"[[software]]\nname = \"Other Tool\"\nproduct_id=\"3\"\ndistributor_id = \"2\"\n\n"
          b"[[software]]\nname =   Second\nversion = \"9.1\"\nproduct_id = \"12\"\ndistributor_id = \"\"\n")
AFTER = (b"[[software]]\r\nname = \"Other Tool\"\r\nproduct_id = \"3\"\r\ndistributor_id = \"2\"\r\n"
         b"[[software]]\r\nname = \"Second\"\r\nproduct_id = \"12\"\r\ndistributor_id = \"\"\r\n"
         b"[[software]]\r\nname = \"tarvex \xe6\x95\xb0\xe6\x8d\xae\xe6\x81\xa2\xe5\xa4\x8d\"\r\n"
         b"product_id = \"8\"\r\ndistributor_id = \"1\"\r\n")


@pytest.fixture
def folder(prefix, server):
    # The download is held at its first byte, so the worker neither finishes
    # nor fails while the file is being examined.
    serve(server, {"size": 1 << 20, "hold_at": 0})
    return os.path.join(prefix.profile_dir, ".tarvex")


def run_until_shown(prefix, workdir):
    """The window is shown only once its creation, and with it the
    registration, is over."""
    process = prefix.start_installer(workdir)
    assert prefix.wait_for_visible_installer(), "the installer's window was not shown"
    process.kill()
    process.wait()


def write(path, content):
    with open(path, "wb") as file:
        file.write(content)


def read(path):
    with open(path, "rb") as file:
        return file.read()


def test_one_run_adds_our_entry_after_the_other_products(prefix, workdir, folder):
    os.makedirs(folder)
    write(os.path.join(folder, "config.toml"), BEFORE)
    run_until_shown(prefix, workdir)
    assert read(os.path.join(folder, "config.toml")) == AFTER
    assert os.listdir(folder) == ["config.toml"]


# Wine 8 makes neither junctions (FSCTL_SET_REPARSE_POINT fails) nor Windows
# symbolic links (CreateSymbolicLinkW succeeds without making one); a Unix
# symbolic link in the prefix is what it can show, as a plain folder or file
# whose final path lies elsewhere.
def test_nothing_is_written_through_a_symbolic_link(prefix, workdir, folder):
    elsewhere = os.path.join(prefix.drive_c, "elsewhere")
    os.makedirs(elsewhere)
    os.symlink(elsewhere, folder)
    run_until_shown(prefix, workdir)
    assert os.listdir(elsewhere) == [], "written through a linked .tarvex"
    assert "registration skipped: .tarvex is a junction or symbolic link" in prefix.run_log()

    os.remove(folder)
    os.makedirs(folder)
    target = os.path.join(elsewhere, "other.toml")
    write(target, BEFORE)
    os.symlink(target, os.path.join(folder, "config.toml"))
    run_until_shown(prefix, workdir)
    assert read(target) == BEFORE, "written through a linked config.toml"
    assert "registration skipped: config.toml is a junction or symbolic link" in prefix.run_log()
    assert os.path.islink(os.path.join(folder, "config.toml"))
    assert sorted(os.listdir(folder)) == ["config.toml"]
