"""report.html in a real browser: headless Chromium (Debian's) driven by Selenium.

Checks that every figure decoded, that the tables are there and that the page fetched nothing
but itself, and keeps a screenshot of each page under build/artefacts/ (PILORA_ARTEFACTS to
change). Skipped, with the reason, where Selenium, Chromium or its driver are missing.
"""

import os
import shutil
from pathlib import Path

import pytest

from pilora.cli import main

webdriver = pytest.importorskip("selenium.webdriver", reason="selenium is not installed (Debian: python3-selenium)")

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
CHROMEDRIVER = shutil.which("chromedriver")
if CHROMIUM is None or CHROMEDRIVER is None:
    pytest.skip("chromium and chromedriver are needed (Debian: chromium, chromium-driver)", allow_module_level=True)

ARTEFACTS = Path(os.environ.get("PILORA_ARTEFACTS", Path(__file__).resolve().parents[2] / "build" / "artefacts"))
# 1 m cells (1 chunk per m³): the page, not the model, is under test here.
SMALL = ["--bed", "120x30", "--bulk-density", "1.5", "--seed", "5", "--chunks-per-m3", "1"]


@pytest.fixture(scope="module")
def record(tmp_path_factory):
    """The sample record's first twelve hours (about 13,000 t)."""
    from pilora import sample_record_path

    path = tmp_path_factory.mktemp("record") / "half-day.csv"
    lines = sample_record_path().read_text().splitlines(keepends=True)
    path.write_text("".join(lines[:361]))
    return path


@pytest.fixture(scope="module")
def browser(tmp_path_factory):
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", "--window-size=1280,900",
                 f"--user-data-dir={tmp_path_factory.mktemp('chromium-profile')}"):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service(executable_path=CHROMEDRIVER), options=options)
    driver.set_page_load_timeout(60)
    yield driver
    driver.quit()


def _page_facts(driver, path: Path) -> dict:
    driver.get(path.resolve().as_uri())
    return driver.execute_script("""
        const images = Array.from(document.images);
        return {
            title: document.title,
            images: images.map(i => ({complete: i.complete, width: i.naturalWidth, alt: i.alt,
                                      inline: i.src.startsWith('data:image/png;base64,')})),
            tables: Array.from(document.querySelectorAll('table')).map(t => ({
                heading: t.closest('section').querySelector('h2').textContent,
                rows: t.querySelectorAll('tbody tr, tr').length,
                text: t.textContent})),
            // Figures of the inside of the bed, each with its section's heading and caption.
            inside: Array.from(document.querySelectorAll('section')).filter(
                    s => s.querySelector('h2').textContent.endsWith('inside the bed'))
                .flatMap(s => Array.from(s.querySelectorAll('figure')).map(f => ({
                    caption: f.querySelector('figcaption').textContent,
                    width: f.querySelector('img').getBoundingClientRect().width,
                    decoded: f.querySelector('img').complete && f.querySelector('img').naturalWidth > 0}))),
            lead: (document.querySelector('.lead') || {textContent: ''}).textContent,
            fetched: performance.getEntriesByType('resource').map(e => e.name)
                                .filter(n => !n.startsWith('data:')),
            height: document.documentElement.scrollHeight,
            pageWidth: document.documentElement.scrollWidth,
            viewWidth: document.documentElement.clientWidth,
            // Tables wider than the box that holds them (a horizontal scroll bar) or than the window.
            overflowing: Array.from(document.querySelectorAll('table')).filter(t =>
                t.scrollWidth > t.parentElement.clientWidth + 1
                || t.getBoundingClientRect().right > document.documentElement.clientWidth + 1)
                .map(t => t.closest('section').querySelector('h2').textContent),
            answer: (() => {
                const answer = document.querySelector('.answer');
                const table = document.querySelector('table');
                return answer === null ? null : {
                    text: answer.textContent,
                    beforeFirstTable: table === null ||
                        Boolean(answer.compareDocumentPosition(table) & Node.DOCUMENT_POSITION_FOLLOWING),
                    top: answer.getBoundingClientRect().top};
            })(),
        };""")


def _screenshot(driver, height: int, name: str) -> Path:
    ARTEFACTS.mkdir(parents=True, exist_ok=True)
    driver.set_window_size(1280, min(max(height, 900), 20000))
    path = ARTEFACTS / name
    assert driver.save_screenshot(str(path)), "the browser took no screenshot"
    return path


@pytest.mark.parametrize(("command", "figures", "headings"), [
    (["run", "--plan", "chevron", "--layers", "20"], 7, ["Record", "Bed and plan", "blending without end cones",
                                                          "blending with end cones", "std per block"]),
    (["compare", "--plans", "chevron,strata,windrow", "--layers", "10:20:10", "--replicates", "2"], 5,
     ["Ranking", "blending without end cones", "std per block"]),
])
def test_report_in_chromium(browser, record, tmp_path, command, figures, headings):
    out = tmp_path / "out"
    assert main([*command, str(record), *SMALL, "--out", str(out)]) == 0
    facts = _page_facts(browser, out / "report.html")
    shot = _screenshot(browser, facts["height"], f"report-{command[0]}.png")

    # At 1280 px every column of every table is in view: no table scrolls sideways, nor the page.
    assert facts["viewWidth"] <= 1280 and facts["pageWidth"] <= facts["viewWidth"]
    assert facts["overflowing"] == []
    if command[0] == "compare":
        # The answer first: the recommendation on the first screen, above every table.
        answer = facts["answer"]
        assert answer is not None and answer["beforeFirstTable"] and answer["top"] < 900
        assert "Stack by" in answer["text"] or "No plan is clearly better" in answer["text"]

    assert facts["title"].startswith("Pilora")
    assert len(facts["images"]) == figures
    for image in facts["images"]:
        assert image["inline"] and image["complete"] and image["width"] > 0, image["alt"]
    for heading in headings:
        tables = [t for t in facts["tables"] if heading in t["heading"]]
        assert tables and all(t["rows"] > 1 for t in tables), f"no table under {heading!r}"
    # The effects table, split into parts of a few columns each, holds the block basis too.
    effects = "".join(t["text"] for t in facts["tables"] if "without end cones" in t["heading"])
    assert all(p in effects for p in ("CaO", "SiO2", "H2O", "effect_same_mass", "effect_block"))
    # Both pages say the model is idealised (effects are upper bounds) and where it is described.
    assert "upper bound" in facts["lead"] and "docs/model.md" in facts["lead"]
    if command[0] == "run":
        # The inside of the bed: the section by stacking time, the same by the first parameter, the heap in 3-D.
        captions = [f["caption"] for f in facts["inside"]]
        assert len(captions) == 3 and all(f["decoded"] and f["width"] > 300 for f in facts["inside"])
        assert "across the bed at x = 60 m, coloured by stacking time (h" in captions[0]
        assert "coloured by CaO" in captions[1] and "3-D surface coloured by height (m)" in captions[2]
    else:
        assert facts["inside"] == []
    assert facts["fetched"] == []
    assert shot.stat().st_size > 10_000
