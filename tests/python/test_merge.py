"""merge_graph and the graph file as callers see it."""
import os

import pytest

import graphfile
import vyr

CORRUPT = "archive access (corrupt graph.bin?)"


def read(path):
    with open(path, "rb") as f:
        return f.read()


def test_missing_or_empty_existing_path_is_a_fresh_build(tmp_path):
    fresh = str(tmp_path / "fresh.bin")
    vyr.build_graph([], fresh)
    for existing in ["", str(tmp_path / "nope.bin"), str(tmp_path)]:
        out = str(tmp_path / "out.bin")
        vyr.merge_graph(existing, [], [], out)
        assert read(out) == read(fresh)


@pytest.mark.parametrize("content", [b"", b"x" * 55, b"\0" * 64, b"garbage!" * 100])
def test_corrupt_existing_file_is_refused(tmp_path, content):
    existing = tmp_path / "g.bin"
    existing.write_bytes(content)
    out = tmp_path / "out.bin"
    with pytest.raises(ValueError) as e:
        vyr.merge_graph(str(existing), [], [], str(out))
    assert str(e.value) in (CORRUPT, "graph.bin magic mismatch: got [0, 0, 0, 0], expected [86, 89, 82, 49]")
    assert not out.exists()


def test_merge_in_place_reproduces_the_file(tiny_graph):
    before = read(tiny_graph)
    assert vyr.merge_graph(tiny_graph, [], [], tiny_graph) == len(before)
    assert read(tiny_graph) == before


def test_removal_by_url(tmp_path):
    path = graphfile.write_graph(
        str(tmp_path / "g.bin"),
        [
            ("Product", "a", "A", '{"url":"https://s/a"}'),
            ("Offer", "a#offer", "", '{"url":"https://s/a"}'),
            ("Product", "b", "B", '{"url":"https://s/b"}'),
            ("Brand", "Acme", "Acme", '"Acme"'),
        ],
        [(0, "Offers", 1), (0, "Brand", 3), (2, "Brand", 3)],
    )
    out = str(tmp_path / "out.bin")
    vyr.merge_graph(path, [], ["https://s/a", "https://s/unknown"], out)
    expected = graphfile.encode(
        [
            ("Offer", "a#offer", "", '{"url":"https://s/a"}'),
            ("Product", "b", "B", '{"url":"https://s/b"}'),
            ("Brand", "Acme", "Acme", '"Acme"'),
        ],
        [(1, "Brand", 2)],
    )
    assert read(out) == expected


def test_failed_write_keeps_the_previous_file(tiny_graph, tmp_path):
    before = read(tiny_graph)
    # The temporary name is taken by a directory: writing it fails.
    os.mkdir(tiny_graph + ".tmp")
    with pytest.raises(ValueError, match=r"^write tmp graph\.bin$"):
        vyr.merge_graph(tiny_graph, [], ["https://shop.example/products/phone"], tiny_graph)
    assert read(tiny_graph) == before


def test_non_utf8_pool_is_an_internal_fault(tmp_path):
    path = graphfile.write_graph(str(tmp_path / "g.bin"), [("Product", b"\xff\xfe", "", "{}")])
    with pytest.raises(BaseException) as e:
        vyr.merge_graph(path, [], [], str(tmp_path / "out.bin"))
    assert not isinstance(e.value, Exception)
    assert "string_pool utf8" in str(e.value)
    assert not (tmp_path / "out.bin").exists()


def test_build_graph_from_dir_selects_html_and_htm(tmp_path):
    pages = tmp_path / "pages"
    pages.mkdir()
    for name in ["a.html", "b.HTML", ".htm", "c.htm", "d.html.bak", "e.txt"]:
        (pages / name).write_text("<html></html>")
    (pages / "sub.html").mkdir()  # selected by name; unreadable as a page
    count, size = vyr.build_graph_from_dir(str(pages), str(tmp_path / "out" / "g.bin"))
    assert (count, size) == (3, 64)


def test_build_graph_from_dir_errors(tmp_path, capfd):
    afile = tmp_path / "f"
    afile.write_text("x")
    with pytest.raises(ValueError, match=r"^Not a directory \(os error 20\)$"):
        vyr.build_graph_from_dir(str(afile), str(tmp_path / "g.bin"))
    with pytest.raises(ValueError, match=r"^No such file or directory \(os error 2\)$"):
        vyr.build_graph_from_dir(str(tmp_path / "missing"), str(tmp_path / "g.bin"))


def test_unreadable_file_is_skipped_with_one_line(tmp_path, capfd):
    pages = tmp_path / "pages"
    pages.mkdir()
    (pages / "ok.html").write_text("<html></html>")
    os.symlink(str(tmp_path / "dangling"), str(pages / "bad.html"))
    count, _ = vyr.build_graph_from_dir(str(pages), str(tmp_path / "g.bin"))
    assert count == 2
    err = capfd.readouterr().err
    assert err == 'vyr: skip "%s": No such file or directory (os error 2)\n' % (pages / "bad.html")


def test_query_on_missing_file_reports_open_first(tmp_path):
    path = str(tmp_path / 'we"ird.bin')
    with pytest.raises(ValueError) as e:
        vyr.query(path, "this is not a query")
    assert str(e.value) == 'open "%s"' % path.replace('"', '\\"')
