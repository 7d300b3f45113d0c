"""The module surface: attributes, docstrings, argument rules, errors."""
import inspect
import os
import subprocess
import sys
import threading

import pytest

import graphfile
import vyr

EMPTY_GRAPH = 64


def test_attributes_and_signatures():
    assert vyr.__version__ == "0.8.6"
    assert vyr.__all__ == ["build_graph", "build_graph_from_dir", "merge_graph", "query", "__version__"]
    assert vyr.__doc__ == ""
    sigs = {name: str(inspect.signature(getattr(vyr, name))) for name in vyr.__all__[:4]}
    assert sigs == {
        "build_graph": "(pages, out_path)",
        "build_graph_from_dir": "(html_dir, out_path)",
        "merge_graph": "(existing_path, pages, removed_urls, out_path)",
        "query": "(graph_path, cypher_query)",
    }
    assert vyr.build_graph.__doc__.startswith("Build a graph from in-memory HTML strings")
    assert vyr.build_graph.__doc__.endswith("where holding all HTML in memory is fine.")
    assert "Peak memory\nis ~one page + the growing graph \u2014 independent" in vyr.build_graph_from_dir.__doc__
    assert vyr.merge_graph.__doc__.endswith("fully deserializes into memory before the atomic rewrite).")
    assert vyr.query.__doc__.endswith('A NodeRef\nvalue becomes a nested dict `{"idx", "kind", "name"}`.')


def test_second_initialisation_is_refused():
    # A fresh interpreter loads the module, then calls its init a second time.
    code = (
        "import importlib.machinery, importlib.util, vyr\n"
        "found = importlib.util.spec_from_file_location('vyr', vyr.__file__)\n"
        "try:\n"
        "    importlib.util.module_from_spec(found)\n"
        "except ImportError as e:\n"
        "    print('refused', e)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         env=dict(os.environ), check=True).stdout
    assert out.startswith("refused")


@pytest.mark.parametrize("call", [
    lambda p: vyr.build_graph("<html></html>", p),
    lambda p: vyr.build_graph(["ok", 3], p),
    lambda p: vyr.build_graph(42, p),
    lambda p: vyr.build_graph([], 42),
    lambda p: vyr.build_graph([], b"bytes/path"),
    lambda p: vyr.merge_graph(p, [], "https://x/removed", p),
    lambda p: vyr.merge_graph(p, [], [None], p),
    lambda p: vyr.merge_graph(None, [], [], p),
    lambda p: vyr.build_graph_from_dir(1, p),
    lambda p: vyr.query(p, 5),
])
def test_wrong_argument_types_raise_type_error(tmp_path, call):
    with pytest.raises(TypeError):
        call(str(tmp_path / "g.bin"))


def test_type_error_names_the_parameter(tmp_path):
    with pytest.raises(TypeError, match="pages"):
        vyr.build_graph("abc", str(tmp_path / "g.bin"))
    with pytest.raises(TypeError, match="removed_urls"):
        vyr.merge_graph("", [], ["a", 1], str(tmp_path / "g.bin"))
    with pytest.raises(TypeError, match="out_path"):
        vyr.build_graph([], None)


def test_keyword_arguments(tmp_path):
    out = str(tmp_path / "g.bin")
    assert vyr.build_graph(out_path=out, pages=()) == EMPTY_GRAPH
    assert vyr.merge_graph(existing_path=out, pages=[], removed_urls=(), out_path=out) == EMPTY_GRAPH
    with pytest.raises(TypeError):
        vyr.build_graph([], out, extra=1)


def test_build_graph_creates_missing_directories(tmp_path):
    out = tmp_path / "a" / "b" / "graph.bin"
    assert vyr.build_graph([], str(out)) == EMPTY_GRAPH
    assert out.stat().st_size == EMPTY_GRAPH
    assert not (tmp_path / "a" / "b" / "graph.bin.tmp").exists()


def test_output_directory_errors_are_os_errors(tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("x")
    with pytest.raises(ValueError, match=r"^File exists \(os error 17\)$|^Not a directory \(os error 20\)$"):
        vyr.build_graph([], str(blocker / "sub" / "graph.bin"))


def test_any_sequence_of_str_is_accepted(tmp_path):
    class Pages:
        def __len__(self):
            return 2

        def __getitem__(self, i):
            if i >= 2:
                raise IndexError
            return "<html></html>"

    assert vyr.build_graph(Pages(), str(tmp_path / "g.bin")) == EMPTY_GRAPH
    assert vyr.build_graph(("<p>", "<b>"), str(tmp_path / "g.bin")) == EMPTY_GRAPH


def test_lone_surrogates_in_pages_do_not_fail(tmp_path):
    assert vyr.build_graph(["<p>\ud800</p>"], str(tmp_path / "g.bin")) == EMPTY_GRAPH


def test_lock_is_released_during_work(tmp_path):
    # Many threads building at once all finish and produce the same file.
    pages = ["<html><body>%d</body></html>" % i for i in range(200)]
    sizes = []

    def work(n):
        sizes.append(vyr.build_graph(pages, str(tmp_path / ("g%d.bin" % n))))

    threads = [threading.Thread(target=work, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sizes == [sizes[0]] * 8


def test_paths_with_nul_bytes_are_refused(tmp_path):
    # Cut short at the NUL, the path would name another file.
    target = tmp_path / "g.bin"
    with pytest.raises(ValueError, match="NUL"):
        vyr.build_graph([], str(target) + "\0.other")
    assert not target.exists()
    with pytest.raises(ValueError, match=r'^open ".*\\0x"$'):
        vyr.query(str(target) + "\0x", "MATCH (n) RETURN n")
    with pytest.raises(ValueError, match="NUL"):
        vyr.build_graph_from_dir(str(tmp_path) + "\0", str(target))
