"""Runs of the real installer record the product beside other products' entries;
a file another program holds stays as it is; no write through a link the user
could plant, while links above the profile are followed."""
import os
import pathlib
import subprocess

import pytest

import harness

# As other products may leave it: LF line ends, a comment, loose spacing, an unquoted value, a key the installer does
# not know, a lone CR and the byte that ends a text file in text mode.
BEFORE = (b"# written by another tool\n"
          b"[[software]]\nname = \"Other\x1aTool\"\nproduct_id=\"3\"\ndistributor_id = \"2\"\n\x1a\n"
          b"[[software]]\nname =   Se\rcond\nversion = \"9.1\"\nproduct_id = \"12\"\ndistributor_id = \"\"\n")
AFTER = (b"[[software]]\r\nname = \"Other\x1aTool\"\r\nproduct_id = \"3\"\r\ndistributor_id = \"2\"\r\n"
         b"[[software]]\r\nname = \"Se\rcond\"\r\nproduct_id = \"12\"\r\ndistributor_id = \"\"\r\n"
         b"[[software]]\r\nname = \"tarvex \xe6\x95\xb0\xe6\x8d\xae\xe6\x81\xa2\xe5\xa4\x8d\"\r\n"
         b"product_id = \"8\"\r\ndistributor_id = \"1\"\r\n")
READ_ONLY_SYSTEM, HIDDEN = b"0x5", b"0x2"  # DOS attributes as Wine keeps them on a Unix file
READ, WRITE = 1, 2  # FILE_SHARE_*


@pytest.fixture
def folder(prefix, server):
    # Held at the first byte: the download neither ends nor fails meanwhile.
    server.serve_channels(1 << 20, hold_at=0)
    subprocess.run(["rm", "-rf", prefix.profile_dir + "/.tarvex", prefix.drive_c + "/elsewhere"], check=True)
    os.makedirs(prefix.profile_dir + "/.tarvex")
    return pathlib.Path(prefix.profile_dir, ".tarvex")


@pytest.fixture
def registered(prefix, workdir, server):
    """What a run of the installer logs about the registration. Killed once its request has arrived, not while it
    connects: Wine's server would keep that socket open, spinning."""
    def run():
        asked = len(server.requests())
        process = prefix.start_installer(workdir)
        line = harness.wait_until(lambda: len(server.requests()) > asked and [
            line for line in prefix.run_log() if line.startswith("registration")], 30)
        process.kill()
        process.wait()
        return line[0]
    return run


def test_one_run_adds_our_entry_after_the_other_products_and_leaves_the_folder_hidden_alone(folder, registered):
    (folder / "config.toml").write_bytes(BEFORE)
    os.setxattr(folder, "user.DOSATTRIB", READ_ONLY_SYSTEM)
    assert registered() == "registration written"
    assert (folder / "config.toml").read_bytes() == AFTER
    assert os.listdir(folder) == ["config.toml"] and os.getxattr(folder, "user.DOSATTRIB") == HIDDEN


def test_a_file_that_another_program_holds_stays_as_it_is_unless_let_go_in_a_moment(prefix, folder, registered):
    config = folder / "config.toml"
    # Not shared, it cannot be read; shared for reading only, it cannot be replaced. Held for a moment with the C
    # runtime's sharing (reading and writing), as another product reads it, it is replaced once let go.
    for sharing, held_ms, outcome in ((0, 60000, "skipped: config.toml cannot be read"),
                                      (READ, 60000, "skipped: config.toml cannot be replaced"),
                                      (READ | WRITE, 3000, "written")):
        config.write_bytes(BEFORE)
        answer = os.path.join(prefix.path, "held.json")
        with open(answer, "wb") as out:
            holder = prefix.start([harness.exe("probe"), "hold", prefix.windows_path(config), str(held_ms),
                                   str(sharing)], stdout=out)
        assert harness.wait_until(lambda: os.path.getsize(answer), 20)
        assert registered() == "registration " + outcome
        holder.kill()
        assert config.read_bytes() == (AFTER if outcome == "written" else BEFORE), outcome
        assert os.listdir(folder) == ["config.toml"], outcome


# Wine 8 makes neither junctions (FSCTL_SET_REPARSE_POINT fails) nor Windows symbolic links (CreateSymbolicLinkW
# succeeds without making one); a Unix symbolic link in the prefix is what it can show, as a plain folder or file whose
# final path lies elsewhere.
def test_nothing_is_written_through_a_symbolic_link(prefix, folder, registered):
    elsewhere = pathlib.Path(prefix.drive_c, "elsewhere")
    elsewhere.mkdir()
    (elsewhere / "other.toml").write_bytes(BEFORE)
    (folder / "config.toml").symlink_to(elsewhere / "other.toml")
    assert registered() == "registration skipped: config.toml is a junction or symbolic link"
    assert (elsewhere / "other.toml").read_bytes() == BEFORE and os.listdir(folder) == ["config.toml"]

    (folder / "config.toml").unlink()
    folder.rmdir()
    folder.symlink_to(elsewhere)
    assert registered() == "registration skipped: .tarvex is a junction or symbolic link"
    assert os.listdir(elsewhere) == ["other.toml"] and (elsewhere / "other.toml").read_bytes() == BEFORE


# As an administrator moves profiles to another drive: C:\\users, or the profile folder itself, reached through a link.
@pytest.mark.parametrize("moved", ["users", "profile"])
def test_a_moved_profile_registers_and_logs(prefix, folder, moved, registered):
    linked = os.path.dirname(prefix.profile_dir) if moved == "users" else prefix.profile_dir
    away = os.path.join(prefix.path, "moved-" + moved)
    os.rename(linked, away)
    os.symlink(away, linked)
    try:
        (folder / "config.toml").write_bytes(BEFORE)
        assert registered() == "registration written"
        assert (folder / "config.toml").read_bytes() == AFTER and os.getxattr(folder, "user.DOSATTRIB") == HIDDEN
    finally:
        os.unlink(linked)
        os.rename(away, linked)
