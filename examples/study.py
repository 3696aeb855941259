"""A blending study: one quality record, three stacking plans at the same stacker speed, their
effects without end cones on blocks of an hour's feed.

    python examples/study.py [record.csv [bulk density t/m³ [output folder]]]

Without a record it runs on the package's sample (two days of crushed limestone, 1.5 t/m³).
"""

import sys
from pathlib import Path

import pilora


def study(
    record: pilora.Record, bed: pilora.BedSettings, layers: int = 60, out: str = "study"
) -> dict[str, pilora.Result]:
    # Equal stacker effort: every plan travels at the chevron's speed (m/min while stacking).
    speed = pilora.Chevron(layers=layers).travel_speed(record, bed)
    strata = pilora.Strata(speed=speed, swing_period=7.0)  # minutes per swing
    print(strata.resonance(record, bed))  # does the swing repeat pass after pass?
    plans = {"chevron": pilora.Chevron(speed=speed), "windrow": pilora.Windrow(rows=4, speed=speed),
             "strata": strata}
    results = {name: pilora.simulate(bed, record, plan, seed=1) for name, plan in plans.items()}
    for name, result in results.items():
        effects = pilora.blending(result, end_cones=False)
        print(f"{name}: {speed:.1f} m/min, {plans[name].passes(record, bed):.1f} passes; "
              f"{effects.attrs['basis']}")
        print(effects[["effect_block", "effect_material"]].round(2))
    pilora.save_figure(pilora.plot_effects(results, end_cones=False), Path(out, "effects.png"))
    for name, result in results.items():
        pilora.save_figure(pilora.plot_quality(result), Path(out, f"{name}_quality.png"))
    pilora.save_figure(pilora.plot_sections(results["chevron"]), Path(out, "chevron_sections.svg"))
    return results


if __name__ == "__main__":
    args = sys.argv[1:]
    density = float(args[1]) if len(args) > 1 else 1.5
    record = pilora.read_record(args[0], bulk_density=density) if args else pilora.sample_record()
    study(record, pilora.BedSettings(length=200.0, width=40.0), out=args[2] if len(args) > 2 else "study")
