"""Adjustment settings against an independent reader's view of the same documents (its data.json),
converted to our names and units."""
import json

import pytest

import zuzodoriv
from conftest import CORPUS

# gradient-overlay-2 holds its gradient map in a version (3) the library leaves unread, with a warning.
CASES = ["adjustment-layers"]


def near(a, b, tolerance=1e-3):
    return abs(a - b) <= tolerance


def hsl(d):
    return [d["hue"], d["saturation"], d["lightness"]]


def check(ours, theirs):
    """Every field the reference gives, as ours names it; returns the first difference or None."""
    kind = theirs["type"]
    if kind == "brightness/contrast":
        want = {"brightness": theirs["brightness"], "contrast": theirs["contrast"], "mean": theirs["meanValue"],
                "use_legacy": theirs["useLegacy"], "lab": theirs["labColorOnly"], "auto": theirs["auto"]}
        return next((k for k, v in want.items() if ours[k] != v), None)
    if kind == "levels":
        for i, name in enumerate(["rgb", "red", "green", "blue"]):
            t, o = theirs.get(name), ours["channels"][i]
            if t and (o["input"] != [t["shadowInput"], t["highlightInput"]] or
                      o["output"] != [t["shadowOutput"], t["highlightOutput"]] or not near(o["gamma"], t["midtoneInput"], 0.01)):
                return name
        return None
    if kind == "curves":
        by_channel = {c["channel"]: c["points"] for c in ours["channels"]}
        for i, name in enumerate(["rgb", "red", "green", "blue"]):
            if name in theirs and by_channel.get(i) != [[p["input"], p["output"]] for p in theirs[name]]:
                return name
        return None
    if kind == "exposure":
        return next((k for k in ("exposure", "offset", "gamma") if not near(ours[k], theirs[k])), None)
    if kind == "vibrance":
        return next((k for k in ("vibrance", "saturation") if ours[k] != theirs[k]), None)
    if kind == "hue/saturation":
        if ours["master"] != hsl(theirs["master"]):
            return "master"
        for r, name in zip(ours["ranges"], ["reds", "yellows", "greens", "cyans", "blues", "magentas"]):
            t = theirs[name]
            if r["range"] != [t["a"], t["b"], t["c"], t["d"]] or r["hsl"] != hsl(t):
                return name
        return None
    if kind == "color balance":
        for name in ("shadows", "midtones", "highlights"):
            t = theirs[name]
            if ours[name] != [t["cyanRed"], t["magentaGreen"], t["yellowBlue"]]:
                return name
        return None if ours["preserve_luminosity"] == theirs["preserveLuminosity"] else "preserve_luminosity"
    if kind == "black & white":
        for ref, name in [("reds", "red"), ("yellows", "yellow"), ("greens", "green"), ("cyans", "cyan"),
                          ("blues", "blue"), ("magentas", "magenta"), ("useTint", "use_tint"), ("presetKind", "preset_kind")]:
            if ours[name] != theirs[ref]:
                return name
        values, tint = ours["tint_color"]["values"], theirs["tintColor"]
        return None if all(near(a, tint[k], 1.01) for a, k in zip(values, "rgb")) else "tint_color"
    if kind == "photo filter":
        lab = ours["color"]["values"]
        t = theirs["color"]
        if not (near(lab[0], t["l"] * 100, 0.5) and near(lab[1], t["a"] * 127, 1.5) and near(lab[2], t["b"] * 128, 1.5)):
            return "color"
        if not near(ours["density"], theirs["density"] * 100):
            return "density"
        return None if ours["preserve_luminosity"] == theirs["preserveLuminosity"] else "preserve_luminosity"
    if kind == "channel mixer":
        g = theirs["gray"]
        if ours["monochrome"] != theirs["monochrome"]:
            return "monochrome"
        # A monochrome mix keeps its grey output first.
        return None if ours["channels"][0] == [g["red"], g["green"], g["blue"], 0, g["constant"]] else "gray"
    if kind == "color lookup":
        if ours["lookup_type"].lower() != theirs["lookupType"] or ours["name"] != theirs["name"]:
            return "lookup_type/name"
        return None if ours["dither"] == theirs["dither"] else "dither"
    if kind in ("posterize", "threshold"):
        field = "levels" if kind == "posterize" else "level"
        return None if ours[field] == theirs[field] else field
    if kind == "gradient map":
        stops = ours["gradient"]["color_stops"]
        if ours["reverse"] != theirs["reverse"] or ours["dither"] != theirs["dither"]:
            return "reverse/dither"
        locations = [s["location"] / 4096 for s in stops]
        want = [s["location"] for s in theirs["colorStops"]]
        return None if len(locations) == len(want) and all(near(a, b, 0.001) for a, b in zip(locations, want)) else "stops"
    if kind == "selective color":
        if ours["method"] != theirs["mode"]:
            return "mode"
        for r, name in zip(ours["records"][1:], ["reds", "yellows", "greens", "cyans", "blues", "magentas",
                                                 "whites", "neutrals", "blacks"]):
            t = theirs[name]
            if r != [t["c"], t["m"], t["y"], t["k"]]:
                return name
        return None
    return None


@pytest.mark.parametrize("case", CASES)
def test_adjustments_match_the_reference(case):
    folder = CORPUS / "ag-psd" / "test" / "read" / case
    if not (folder / "src.psd").exists():
        pytest.skip("the corpus is not there")
    data = json.loads((folder / "data.json").read_text())
    theirs = []

    def walk(children):
        for c in children:
            if "adjustment" in c:
                theirs.append((c["name"], c["adjustment"]))
            walk(c.get("children", []))
    walk(data.get("children", []))
    ours = {l.name: l.adjustment for l in zuzodoriv.open(folder / "src.psd").records() if l.adjustment}
    assert theirs
    for name, adjustment in theirs:
        assert name in ours, name
        assert check(ours[name], adjustment) is None, (name, check(ours[name], adjustment), ours[name])
