"""The `pilora` command: refusals, outputs, byte-identical reruns, and the shipped sample record."""

import gzip
import importlib.util
import json
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from pilora import sample_record, sample_record_path
from pilora.cli import main
from pilora.report import replaced_atomically

ROOT = Path(__file__).resolve().parents[2]
# A 80 x 20 m bed holds a heap of at most 6,000 m³ (BedSettings.heap_capacity); the record below has
# about 4,500 m³.
SMALL = ["--bed", "80x20", "--bulk-density", "1.5"]


@pytest.fixture(scope="module")
def record(tmp_path_factory):
    """The sample record's first six hours (180 rows, about 6,800 t)."""
    path = tmp_path_factory.mktemp("record") / "six-hours.csv"
    lines = sample_record_path().read_text().splitlines(keepends=True)
    path.write_text("".join(lines[:181]))
    return path


def pilora(capsys, *argv):
    status = main([str(a) for a in argv])
    captured = capsys.readouterr()
    return status, captured.out, captured.err


def _write(folder: Path, name: str, frame: pd.DataFrame) -> Path:
    path = folder / name
    frame.to_csv(path, index=False)
    return path


# Each case: (arguments, what the message must say); R is the small record with its density.
R = ["{record}", "--bulk-density", "1.5"]
REFUSALS = [
    (["run", *R, "--bed", "200"], "is not LENGTHxWIDTH in m"),
    (["run", *R, "--bed", "0x40"], "must be above 0 (m)"),
    (["run", *R, "--bed", "longxwide"], "'long' is not a number"),
    (["run", *R, "--layers", "0"], "0 must be at least 1"),
    (["run", *R, "--layers", "2.5"], "'2.5' is not a whole number"),
    (["run", *R, "--plan", "spiral"], "invalid choice: 'spiral'"),
    (["run", *R, "--seed", "-1"], "must be from 0 to 2**63 - 1"),
    (["run", *R, "--seed", "lucky"], "is not a whole number or 'random'"),
    (["run", *R, "--reclaim-angle", "120"], "above 0 and at most 90 (degrees)"),
    (["run", *R, "--repose-angle", "90"], "above 0 and below 90 (degrees)"),
    (["run", *R, "--chunks-per-m3", "0"], "must be above 0 (chunks per m³)"),
    (["run", *R, "--cell-size", "-0.5"], "must be above 0 (m)"),
    (["run", *R, "--cell-size", "0.5", "--chunks-per-m3", "8"], "--chunks-per-m3: not allowed with argument --cell-size"),
    (["run", *R, "--eight-neighbour", "1.5"], "must be from 0 to 1 (a probability)"),
    (["run", *R, "--reclaim-increment", "-1"], "must be above 0 (m)"),
    (["run", *R, "--reclaim-increment", "1e-9"], "finer than a tenth of the cell"),
    (["run", *R, "--reclaim-increment", "1e9"], "leaves fewer than 10 reclaimed rows"),
    (["run", *R, "--repose-angle", "89.999"], "the end cones cover the whole"),
    (["run", *R, "--bed", "1e300x40"], "give a smaller --bed or a larger --cell-size"),
    (["run", *R, "--bed", "100x20", "--cell-size", "0.001"], "give a smaller --bed or a larger --cell-size"),
    (["run", *R, "--bed", "100x20", "--chunks-per-m3", "1e5"], "give a larger --cell-size"),
    (["run", *R, "--layers", "100000000"], "spacing 0.3333 m cuts the record into"),
    (["run", *R, "--plan", "windrow", "--rows", "1000000"], "rows across the 40 m bed are closer than a cell"),
    (["run", *R, "--plan", "strata", "--swing-period", "1e-9"], "--swing-period"),
    (["run", *R, "--out", "/etc/pilora-refused"], "is a system folder"),
    (["run", *R, "--out", "/usr"], "is a system folder"),
    (["run", "{clash}", "--bulk-density", "1.5", "--out", "{folder}"], "would replace the record"),
    (["run", *R, "--out", "{etc_link}/pilora"], "is a system folder (/etc/pilora)"),
    (["run", *R, "--bulk-density", "nan"], "is not a finite number (t/m³)"),
    (["run", *R, "--rows", "0", "--plan", "windrow"], "argument --rows: 0 must be at least 1"),
    (["run", *R, "--swing-period", "0", "--plan", "strata"], "must be above 0 (minutes)"),
    (["run", *R, "--step", "-5", "--plan", "cone-shell"], "must be above 0 (m)"),
    (["run", *R, "--tail", "0", "--plan", "chevcon"], "must be above 0 (m)"),
    (["run", *R, "--rows", "4"], "--rows sets the windrow plan"),
    (["run", *R, "--plan", "cone-shell", "--layers", "10"], "cone-shell plan lays no layers"),
    (["run", *R, "--plan", "chevcon"], "add --circular"),
    (["run", *R, "--circular"], "chevcon plan only"),
    (["run", *R, "--plan", "chevcon", "--circular", "--tail", "500"], "chevcon, 60 swings does not fit the 200 x 40 m circular bed"),
    (["run", *R, "--bed", "40x10"], "give a larger --bed"),
    # Open ends: a 60 x 20 m bed holds 4,000 m³ with its end cones on it (a hip roof to the walls: 5,300).
    (["run", *R, "--bed", "60x20"], "bed holds at most 4,000 m³ in one heap"),
    (["optimise", *R, "--population", "3"], "--population 3: at least 4 candidates"),
    (["optimise", *R, "--plan", "chevron"], "unrecognized arguments: --plan"),
    (["optimise", *R, "--passes", "9:3"], "the low end must not exceed the high end"),
    (["run", *R, "--time", "stamp"], "no column 'stamp' for --time; its columns are: time, mass"),
    (["run", *R, "--parameters", "CaO,MgO"], "no column 'MgO' for --parameters"),
    (["run", *R, "--mass", "mass", "--volume", "mass"], "give --mass or --volume, not both"),
    (["run", *R, "--out", "{record}"], "is a file: give a folder"),
    (["run", "{missing}"], "does not exist"),
    (["run", "{folder}"], "is a folder"),
    (["run", "{text}"], "neither .csv nor .parquet"),
    (["run", "{no_density}"], "give --bulk-density in t/m³"),
    (["run", "{no_amount}"], "neither a 'mass' nor a 'volume' column"),
    (["run", "{negative}", "--bulk-density", "1.5"], "row 2, column 'mass': negative mass"),
    (["run", "{unsorted}", "--bulk-density", "1.5"], "row 2, column 'time': time is not after the previous row's"),
    (["compare", *R, "--plans", "chevron,spiral"], "unknown plan 'spiral'"),
    (["compare", *R, "--plans", ","], "no plan given"),
    (["compare", *R, "--plans", "strata,strata"], "names a plan twice"),
    (["compare", *R, "--layers", "80:30"], "runs backwards"),
    (["compare", *R, "--layers", "30:80:0"], "0 must be at least 1"),
    (["compare", *R, "--layers", "a:b"], "'a' is not a whole number"),
    (["compare", *R, "--layers", "1:2:3:4"], "is not START:STOP or START:STOP:STEP"),
    (["compare", *R, "--layers", "30,30"], "names a layer count twice"),
    (["compare", *R, "--repeats", "0"], "0 must be at least 1"),
    (["compare", *R, "--repeats", "2", "--replicates", "2"], "--replicates: not allowed with argument --repeats"),
    (["compare", *R, "--speeds", "10", "--layers", "30"], "not allowed with argument --speeds"),
    (["compare", *R, "--speeds", "0"], "must be above 0 (m/min)"),
    (["compare", *R, "--speeds", "20:10:5"], "runs backwards"),
    (["compare", *R, "--plans", "strata", "--speeds", "50"], "allows at most"),
    (["compare", *R, "--plans", "chevron", "--speeds", "0.001"], "give higher --speeds"),
    (["compare", *R, "--coverage", "1"], "must be from 0.5 to below 1"),
    (["compare", *R, "--tail", "5"], "--tail sets the chevcon plan"),
    ([], "the following arguments are required: COMMAND"),
    (["run", "--colour"], "unrecognized arguments: --colour"),
    # argparse's mistakes in one line, as the command's own, with where to read more.
    (["run", *R, "--speed", "0"], "argument --speed: 0 must be above 0 (m/min) (see pilora run --help)"),
    (["run", *R, "--sep", "x"], "'x' is not a separator"),
    (["run", *R, "--bed", "200x"], "is not LENGTHxWIDTH in m"),
    (["compare", *R, "--speeds", "nan"], "'nan' is not a finite number (m/min)"),
    (["compare", *R, "--speeds", "-5"], "must be above 0 (m/min)"),
    (["compare", *R, "--workers", "0"], "argument --workers: 0 must be at least 1 (see pilora compare --help)"),
    (["compare", *R, "--coverage", "1.5"], "must be from 0.5 to below 1"),
    (["optimise", *R, "--max-speed", "0"], "(see pilora optimise --help)"),
    # Through scripts/pilora only its folder and the checkout are visible (PILORA_VISIBLE).
    (["run", *R, "VISIBLE={folder}"], "RECORD '{record}' is outside the folder scripts/pilora runs in ({folder})"),
    (["run", *R, "--out", "{elsewhere}", "VISIBLE={record_folder}"], "--out '{elsewhere}' is outside the folder"),
    # Runs that would measure nothing, named by their cause.
    (["run", "{two_rows}", "--bulk-density", "1.5"], "the record's mass fills one block of"),
    (["run", "--start", "10", "--end", "250"], "end: 250.0 m lies off the bed"),
    (["run", "--plan", "chevcon", "--circular", "--bed", "120x120", "--start", "3"], "drop --start"),
    (["optimise", "--end", "150", "--population", "4"], "drop --end"),
    (["run", "{stretched}", "--bulk-density", "1.5"], "give a block mass of at least"),
    (["run", "{broken_gzip}", "--bulk-density", "1.5"], "cannot be read as a CSV file"),
    (["run", "--derived", "X=CaO/0"], "X"),
    (["run", "{zeros}", "--bulk-density", "1.5"], "the record holds almost no volume (every mass is 0)"),
    (["run", *R, "--bulk-density", "1e300"], "the record holds almost no volume (7.14e-297 m³"),
    (["run", *R, "--bulk-density", "1e-300"], "the record holds 7.14e+303 m³ but"),
    (["run", "{tiny}", "--bulk-density", "1.5"], "CaO's values (at most 5.29e-299) are too small"),
    (["run", *R, "--reclaim-angle", "1"], "(reclaim angle 1°: the face reaches far along the bed), leaving nothing "
                                         "to measure without them: give a larger --reclaim-angle"),
    (["run", *R, "--plan", "cone-shell", "--step", "1e-6"], "--step 1e-06 m is finer than a cell (0.333 m)"),
    # The search grid is checked like the bed's, before anything runs or is written.
    (["optimise", *R, "--search-cell-size", "1e6"], "--search-cell-size 1e+06 leaves fewer than 4 cells across"),
    (["optimise", *R, "--search-cell-size", "1e-6"], "give --search-cell-size at least 0.02 m"),
]


@pytest.mark.parametrize(("argv", "message"), REFUSALS)
def test_refusals_say_what_to_fix(capsys, monkeypatch, tmp_path, record, argv, message):
    folder = tmp_path / "records"
    folder.mkdir()
    sample = pd.read_csv(record)
    bad_rows = sample.head(6).copy()
    bad_rows.loc[2, "mass"] = -1.0
    paths = {
        "record": record,
        "missing": tmp_path / "nowhere.csv",
        "folder": folder,
        "text": _write(folder, "record.txt", sample),
        "no_density": _write(folder, "by-mass.csv", sample),
        "no_amount": _write(folder, "no-amount.csv", sample.drop(columns="mass")),
        "negative": _write(folder, "negative.csv", bad_rows),
        "unsorted": _write(folder, "unsorted.csv", sample.head(4).iloc[[0, 2, 1, 3]]),
        # A record named like an output, in the --out folder: writing there would replace it.
        "clash": _write(folder, "blending.csv", sample),
        "etc_link": folder / "etc-link",
        "elsewhere": tmp_path / "elsewhere",
        "record_folder": record.parent,
        # Two rows: less than one hour of feed, one block (every quality counts as constant).
        "two_rows": _write(folder, "two-rows.csv", sample.head(2)),
        "zeros": _write(folder, "zeros.csv", sample.assign(mass=0.0)),
        "tiny": _write(folder, "tiny.csv", sample.assign(CaO=sample["CaO"] * 1e-300)),
        # Rows a billion hours apart: an hour's feed is a sliver of a row.
        "stretched": _write(folder, "stretched.csv", sample.assign(time=np.arange(len(sample)) * 1e9)),
        "broken_gzip": folder / "broken.csv.gz",
    }
    paths["broken_gzip"].write_bytes(gzip.compress(sample.to_csv(index=False).encode())[:200])
    paths["etc_link"].symlink_to("/etc")
    argv = [a.format(**paths) for a in argv]
    message = message.format(**paths)
    monkeypatch.delenv("PILORA_VISIBLE", raising=False)
    for word in [a for a in argv if a.startswith("VISIBLE=")]:
        monkeypatch.setenv("PILORA_VISIBLE", word.removeprefix("VISIBLE="))
        argv.remove(word)
    out = tmp_path / "out"
    if argv and "--out" not in argv:
        argv += ["--out", str(out)]

    status, stdout, stderr = pilora(capsys, *argv)

    assert status == 2
    assert message in stderr
    assert stderr.count("\n") == 1 and stderr.startswith(f"pilora{' ' + argv[0] if argv else ''}: error: ")
    assert "Traceback" not in stderr and stdout == ""
    assert not out.exists()


def test_help_explains_units(capsys):
    for command in (["--help"], ["run", "--help"], ["compare", "--help"], ["optimise", "--help"]):
        status, stdout, _ = pilora(capsys, *command)
        assert status == 0
        assert "t/m³" in stdout and "in m" in stdout
        if command == ["--help"]:
            assert all(name in stdout for name in ("run", "compare", "optimise"))
    assert all(unit in stdout for unit in ("LENGTHxWIDTH", "degrees", "m/min", "--population", "--resume"))
    # What the help claims of the default grid is what docs/model.md measured; a windrow's passes.
    run_help = " ".join(pilora(capsys, "run", "--help")[1].split())
    assert "within about 6.5% of the finest grid" in run_help and "within 6.5 % of the finest grid" in (
        ROOT / "docs" / "model.md").read_text()
    compare_help = " ".join(pilora(capsys, "compare", "--help")[1].split())
    assert "rows, then rows - 1 on the next layer" in compare_help


def test_compare_prints_every_ranked_setting_or_where_the_rest_are():
    from pilora.commands.compare import SHOWN, ranked_lines

    def ranking(n):
        return pd.DataFrame({"rank": range(1, n + 1), "label": [f"chevron, {10 + i} layers" for i in range(n)],
                             "worst_effect": 5.0, "worst_effect_low": 4.0, "worst_effect_high": 6.0})

    assert len(ranked_lines(ranking(6), "out/ranking.csv")) == 6
    many = ranked_lines(ranking(SHOWN + 5), "out/ranking.csv")
    assert len(many) == SHOWN - 1 and many[-1] == "  ... and 7 more, ranked in out/ranking.csv"


def test_run_writes_every_output_and_reruns_byte_identical(capsys, tmp_path, record):
    tables = ["reclaimed.csv", "reclaimed.parquet", "blending.csv", "blending.parquet", "summary.json"]
    runs = []
    # The summary holds the command line, --out too; c has another seed and 0.5 m cells.
    for folder, seed, cells in [("a", 7, []), ("a", 7, []), ("c", 8, ["--cell-size", 0.5])]:
        status, stdout, stderr = pilora(capsys, "run", record, *SMALL, "--layers", 12, "--seed", seed, *cells,
                                        "--out", tmp_path / folder)
        assert status == 0, stderr
        assert f"seed {seed}" in stdout and stderr == ""
        runs.append({t: (tmp_path / folder / t).read_bytes() for t in tables})

    assert runs[0] == runs[1]
    assert runs[0]["reclaimed.csv"] != runs[2]["reclaimed.csv"]
    # Without a resolution the bed takes its default cells; --cell-size 0.5 is 8 chunks per m³ at 45°.
    assert [json.loads(run["summary.json"])["settings"]["chunks_per_volume_unit"] for run in runs] == [None, None, 8.0]

    out = tmp_path / "a"
    reclaimed = pd.read_parquet(out / "reclaimed.parquet")
    pd.testing.assert_frame_equal(reclaimed, pd.read_csv(out / "reclaimed.csv"), check_exact=False, rtol=1e-15)
    assert {"x", "volume", "mass", "CaO", "H2O", "time_mean", "time_std"} <= set(reclaimed.columns)
    summary = json.loads((out / "summary.json").read_text())
    assert summary["seed"] == 7 and summary["version"]
    assert summary["command"]["line"].endswith("--seed 7")
    assert set(summary["blending_without_end_cones"]) == {"CaO", "SiO2", "Al2O3", "Fe2O3", "H2O"}
    page = (out / "report.html").read_text()
    assert page.count('<img src="data:image/png;base64,') == 7
    assert "http://" not in page and "https://" not in page and "<script" not in page
    for figure in ("quality", "effects", "heights", "sections", "section_time", "section_quality", "heap_3d"):
        assert (out / f"{figure}.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    # The inside of the bed: a section across it at mid-length (x = 40 m), by stacking time and by CaO.
    inside = page[page.index("inside the bed</h2>"):]
    assert "section across the bed at x = 40 m, coloured by stacking time (h" in inside
    assert "coloured by CaO" in inside and "3-D surface coloured by height (m)" in inside


def test_reports_state_the_basis_units_and_every_quality(capsys, tmp_path, record):
    # A derived quality counts like a parameter; a constant one is named and left out of the worst.
    frame = pd.read_csv(record).assign(MgO=1.0)
    path = _write(tmp_path, "with-mgo.csv", frame)
    status, stdout, stderr = pilora(capsys, "run", path, *SMALL, "--layers", 12, "--derived", "CS=CaO/SiO2",
                                    "--out", tmp_path / "run")
    assert status == 0, stderr
    out = tmp_path / "run"
    blending = pd.read_csv(out / "blending.csv")
    assert {"CS", "MgO"} <= set(blending["parameter"])
    summary = json.loads((out / "summary.json").read_text())
    assert summary["constant"] == ["MgO"] and summary["block_mass"] > 0
    assert summary["units"]["flow_variability"].startswith("%")
    assert summary["units"]["blending"]["mean_*, std_*"]["CS"]
    page = (out / "report.html").read_text()
    lead = page[page.index('class="answer"'):page.index("</div>")]
    assert "MgO" not in lead[:lead.index("</p>")]  # the answer: the worst effect is another parameter's
    assert "MgO does not vary in the input and is left out of the worst effect" in lead
    assert "blocks of" in lead and "docs/model.md" in lead and "segregate" in lead
    effects = page[page.index("std per block</h2>"):]
    effects = effects[:effects.index("</section>")]
    assert "<th>CS</th>" in effects and "MgO does not vary in the input" in effects
    assert "heap capacity (m³)" in page and "flow variability (%, CV of the t reclaimed per block" in page

    status, _, stderr = pilora(capsys, "compare", path, *SMALL, "--plans", "chevron", "--layers", "8,12",
                               "--repeats", 2, "--derived", "CS=CaO/SiO2", "--out", tmp_path / "cmp")
    assert status == 0, stderr
    ranking = pd.read_csv(tmp_path / "cmp" / "ranking.csv")
    assert "effect_CS" in ranking
    assert (ranking["worst_parameter"] != "MgO").all()
    page = (tmp_path / "cmp" / "report.html").read_text()
    assert "docs/model.md" in page and "MgO does not vary in the input and is left out of the worst effect" in page
    assert json.loads((tmp_path / "cmp" / "summary.json").read_text())["units"]["flow_variability"].startswith("%")


def test_the_inside_figures_are_the_same_drawn_aside_or_in_turn(capsys, tmp_path, record):
    # With a second thread alive the command does not fork and draws every figure itself.
    import threading

    status, _, stderr = pilora(capsys, "run", record, *SMALL, "--layers", 10, "--out", tmp_path / "aside")
    assert status == 0, stderr
    release = threading.Event()
    waiting = threading.Thread(target=release.wait, daemon=True)
    waiting.start()
    try:
        status, _, stderr = pilora(capsys, "run", record, *SMALL, "--layers", 10, "--out", tmp_path / "here")
    finally:
        release.set()
        waiting.join()
    assert status == 0, stderr
    for name in ("section_time.png", "section_quality.png", "heap_3d.png"):
        assert (tmp_path / "aside" / name).read_bytes() == (tmp_path / "here" / name).read_bytes(), name


def test_optimise_runs_through_the_command(capsys, tmp_path, record):
    tiny = ["--cell-size", "1", "--search-cell-size", "2", "--population", "4", "--generations", "1",
            "--replicates", "1", "--check-replicates", "2", "--points", "1", "--chevrons", "2", "--passes", "4:12"]
    # --resume into a folder without row logs says that it starts a new study.
    status, stdout, stderr = pilora(capsys, "optimise", record, *SMALL, *tiny, "--resume", "--out", tmp_path / "opt")
    assert status == 0, stderr
    assert "no row logs to resume" in stdout
    front = pd.read_csv(tmp_path / "opt" / "front.csv")
    assert len(front) >= 1 and "worst_effect.fine" in front
    page = (tmp_path / "opt" / "report.html").read_text()
    assert "Units and basis" in page and "blocks of" in page and "docs/model.md" in page
    assert "generation" in stdout

    # A mistake: one line on standard error, exit status 2, nothing written.
    status, stdout, stderr = pilora(capsys, "optimise", record, *SMALL, *tiny, "--passes", "4:5000",
                                    "--out", tmp_path / "slow")
    assert status == 2 and stdout.count("\n") <= 1
    assert stderr.startswith("pilora optimise: error: ") and stderr.count("\n") == 1 and "--max-speed" in stderr


def test_compare_ranks_with_intervals_and_its_best_cell_replays(capsys, tmp_path, record):
    status, stdout, stderr = pilora(capsys, "compare", record, *SMALL, "--plans", "chevron,cone-shell",
                                    "--speeds", "1,2", "--replicates", 3, "--seed", 3, "--out", tmp_path / "cmp")
    assert status == 0, stderr
    grid = pd.read_parquet(tmp_path / "cmp" / "grid.parquet")
    ranking = pd.read_csv(tmp_path / "cmp" / "ranking.csv")

    assert len(grid) == (2 + 1) * 3
    assert grid["seed"].nunique() == len(grid)
    assert sorted(grid["record_start_h"].unique())[0] == 0 and grid["record_start_h"].nunique() == 3
    assert list(ranking["rank"]) == [1, 2, 3]
    assert ranking["worst_effect_low"].is_monotonic_decreasing
    for _, row in ranking.iterrows():
        runs = grid[(grid["plan"] == row["plan"]) & (grid["passes"] == row["passes"])]
        # The geometric mean: H is a positive ratio, its interval taken on the logarithm.
        assert row["worst_effect"] == pytest.approx(np.exp(np.log(runs["worst_effect"]).mean()), rel=1e-12)
        assert row["worst_effect_low"] < row["worst_effect"] < row["worst_effect_high"]
    page = (tmp_path / "cmp" / "report.html").read_text()
    assert page.index('class="answer"') < page.index("<table")
    assert "docs/model.md" in page and "t/h" in page
    # The page's ranking lists the plans in the ranking's order.
    table = page[page.index("<h2>Ranking</h2>"):]
    table = table[table.index("<tbody>"):table.index("</tbody>")]
    assert re.findall(r"<th>(\d+)</th>\s*<td>([a-z-]+)</td>", table) == [
        (str(r), p) for r, p in zip(ranking["rank"], ranking["plan"], strict=True)]

    # The best cell's first replicate runs on the record itself: `pilora run` with its seed replays it.
    best = ranking.iloc[0]
    seed = grid[(grid["plan"] == best["plan"]) & (grid["passes"] == best["passes"]) & (grid["replicate"] == 0)]["seed"]
    replay = ["run", record, *SMALL, "--plan", best["plan"], "--seed", int(seed.iloc[0]), "--out", tmp_path / "replay"]
    if best["plan"] != "cone-shell":
        replay += ["--speed", best["speed"]]
    assert pilora(capsys, *replay)[0] == 0
    for table in ("reclaimed.csv", "blending.parquet"):
        assert (tmp_path / "replay" / table).read_bytes() == (tmp_path / "cmp" / table).read_bytes()


def test_compare_repeats_never_share_a_walk(capsys, tmp_path, record):
    # Seeds 0 and 1 start the bed's engine in one state: repeats seeded seed + r ran twice alike.
    status, _, stderr = pilora(capsys, "compare", record, *SMALL, "--plans", "chevron", "--layers", "8",
                               "--repeats", 3, "--seed", 0, "--out", tmp_path / "cmp")
    assert status == 0, stderr
    grid = pd.read_csv(tmp_path / "cmp" / "grid.csv")
    assert grid["seed"].nunique() == 3 and (grid["record_start_h"] == 0).all()
    assert grid["worst_effect"].nunique() == 3


def test_outputs_replace_links_and_never_the_record(capsys, tmp_path, record):
    out = tmp_path / "out"
    out.mkdir()
    precious = tmp_path / "precious.txt"
    precious.write_text("keep me")
    (out / "report.html").symlink_to(precious)
    (out / "summary.json").symlink_to(tmp_path / "nowhere.json")
    status, _, stderr = pilora(capsys, "run", record, *SMALL, "--layers", 6, "--out", out)
    assert status == 0, stderr
    assert precious.read_text() == "keep me"
    assert not (out / "report.html").is_symlink() and (out / "report.html").read_text().startswith("<!DOCTYPE")
    assert not (tmp_path / "nowhere.json").exists()
    assert not [p.name for p in out.iterdir() if p.name.startswith(".")]  # no temporary left behind

    # The record linked into the folder under an output's name is refused too, before anything is written.
    linked = tmp_path / "linked"
    linked.mkdir()
    (linked / "reclaimed.csv").symlink_to(record)
    before = record.read_bytes()
    status, _, stderr = pilora(capsys, "run", linked / "reclaimed.csv", *SMALL, "--out", linked)
    assert status == 2 and "would replace the record" in stderr
    assert record.read_bytes() == before and sorted(p.name for p in linked.iterdir()) == ["reclaimed.csv"]


def test_a_failed_write_leaves_the_old_file(tmp_path):
    target = tmp_path / "report.html"
    target.write_text("old")
    with pytest.raises(RuntimeError), replaced_atomically(target) as temporary:
        temporary.write_text("half of the new")
        raise RuntimeError("killed mid-write")
    assert target.read_text() == "old" and [p.name for p in tmp_path.iterdir()] == ["report.html"]


def test_toolchain_passes_the_callers_environment_into_the_root():
    # scripts/pilora asks for the caller's variables (a study's own settings) inside the root;
    # those that would break the root's own tools stay out, and the root's PATH and HOME win.
    script = f"""
        source {ROOT / "scripts" / "toolchain.sh"}
        export STUDY_SITE=quarry-7 'STUDY_NOTE=a b;c' LD_PRELOAD=/host/lib.so PYTHONHOME=/host PATH=/host/bin
        PILORA_PASS_ENV=1 pilora_root_env
        printf '%s\n' "${{PILORA_ENV[@]}}"
        echo ---
        PILORA_PASS_ENV= pilora_root_env
        printf '%s\n' "${{PILORA_ENV[@]}}"
        echo ---
        pilora_visible /home/me/study
    """
    done = subprocess.run(["bash", "-c", script], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    passed, clean, visible = (part.split("\n") for part in done.stdout.split("---\n"))
    # The folders the command sees in the root (PILORA_VISIBLE): the caller's, then the checkout.
    assert visible[0].split(":")[:2] == ["/home/me/study", str(ROOT)]
    assert "STUDY_SITE=quarry-7" in passed and "STUDY_NOTE=a b;c" in passed
    assert not [v for v in passed if v.startswith(("LD_PRELOAD=", "PYTHONHOME=", "PATH=/host"))]
    assert "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin" in passed
    assert "HOME=/root" in passed
    assert not [v for v in clean if v.startswith("STUDY_")]


def test_module_entry_point_quiet_when_piped(tmp_path, record):
    # Through a new interpreter, as `python -m pilora`: the status and messages reach the shell,
    # and the progress bar stays off when stderr is not a terminal.
    command = [sys.executable, "-m", "pilora", "run", str(record), *SMALL, "--layers", "8",
               "--out", str(tmp_path / "out")]
    done = subprocess.run(command, capture_output=True, text=True, timeout=300, env=os.environ)
    assert done.returncode == 0, done.stderr
    assert done.stderr == "" and "report.html" in done.stdout
    refused = subprocess.run(command[:4] + ["--bed", "5x5"], capture_output=True, text=True, timeout=300)
    assert refused.returncode == 2
    assert refused.stderr.startswith("pilora run: error: ") and "Traceback" not in refused.stderr


def test_sample_record_is_regenerated_byte_identical():
    module_spec = importlib.util.spec_from_file_location("make_sample_record", ROOT / "scripts" / "make_sample_record.py")
    maker = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(maker)
    assert maker.make_record() == sample_record_path().read_text(encoding="utf-8")
    record = sample_record()
    assert len(record) == 1440 and record.parameters == ("CaO", "SiO2", "Al2O3", "Fe2O3", "H2O")
    assert record.duration == pytest.approx(48.0)
    assert 50_000 < record.total_mass < 60_000


@pytest.mark.parametrize(("plan", "fields"), [("chevron", ("start=12.0", "end=68.0")),
                                              ("windrow", ("start=12.0", "end=68.0")),
                                              ("cone-shell", ("first=12.0", "last=68.0"))])
def test_start_and_end_set_the_plans_reversal_points(capsys, tmp_path, record, plan, fields):
    status, _, stderr = pilora(capsys, "run", record, *SMALL, "--plan", plan, "--start", 12, "--end", 68,
                               "--out", tmp_path)
    assert status == 0, stderr
    shown = json.loads((tmp_path / "summary.json").read_text())["plan"]["repr"]
    assert all(field in shown for field in fields)
