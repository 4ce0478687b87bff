"""A shortened soak of the real DLLs: a balance in every format on a line
with receive errors, garbled and lost bytes, adapters pulled out and put
back, and status queries failing. The long one is `tools/soak.py --lines
100000`."""

import soak
from balance_sim import FORMATS

SEED = 2007
# Faults far more often than in the long soak, so that a few thousand lines
# meet dozens of each.
FAULTS = dict(error_rate=0.05, outage_rate=0.03, glitch_rate=0.01)


def test_soak_reads_only_masses_that_were_sent(dll_path):
    fig = soak.run(dll_path, 3000, SEED, soak.Faults(**FAULTS))
    report = fig.report()
    # Not vacuous: the faults happened and lines got through between them.
    assert fig.errors_injected > 0 and fig.bytes_garbled > 0 and fig.bytes_lost > 0, report
    assert fig.outages > 0 and fig.glitches > 0 and fig.reopens > fig.outages, report
    assert fig.polls_minus_777 > 0 and fig.no_mass_read > 0, report
    assert fig.lines_decoded > 0 and fig.lines_rightly_dropped > 0, report
    assert set(fig.formats) == set(FORMATS), report
    assert fig.wrong == 0, report
    assert fig.lines_damaged_read == 0, report
    assert fig.lines_missed == 0, report


def test_soak_notices_damage_the_dll_is_not_told_of(dll_path):
    # The same garbling and losses with no error flag and no failed query:
    # the DLL cannot know, so wrong masses must show, or the soak sees nothing.
    fig = soak.run(dll_path, 1500, SEED, soak.Faults(**FAULTS, report=False))
    assert fig.wrong > 0, fig.report()
