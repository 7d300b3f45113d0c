"""The README's main job runs on the bundled example pages."""
import os
import subprocess
import sys

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")


def test_example_job_runs(tmp_path):
    out = subprocess.run(
        [sys.executable, os.path.join(ROOT, "examples", "run_example.py"),
         os.path.join(ROOT, "examples", "pages"), str(tmp_path)],
        capture_output=True, text=True, env=dict(os.environ), check=True).stdout
    assert "from 7 pages" in out
    assert "error:" not in out
    # Every source of the example set reaches the graph.
    for name in ["NC-700", "Handmühle", "電気ケトル", "Coastline", "Induction Base", "Ridgeline", "Alpen Glass"]:
        assert name in out
    assert "NC-700 Wireless Noise Cancelling Headphones | 249" in out  # repriced by merge_graph
