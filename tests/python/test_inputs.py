"""Tests of vdsim/inputs.py: tokens, values by kind, sections and rewriting."""

import unittest

import support  # noqa: F401  (the package's path)
from vdsim import inputs


class ValueTest(unittest.TestCase):
    def test_numbers(self):
        for good in ("1", "-2.5", "+.5", "3.", "1e3", "1.5E-2", "3.4e38"):
            self.assertIsNone(inputs.check_value(inputs.NUMBER, good), good)
        for bad in ("abc", "1,5", "nan", "inf", "0x10", "1e39", "", " 1", "1_000"):
            self.assertIsNotNone(inputs.check_value(inputs.NUMBER, bad), bad)

    def test_integers_as_c_reads_them(self):
        for good in ("0", "-7", "010", "0x1F", "2147483647", "-2147483648"):
            self.assertIsNone(inputs.check_value(inputs.INTEGER, good), good)
        for bad in ("1.5", "08", "2147483648", "x", ""):
            self.assertIsNotNone(inputs.check_value(inputs.INTEGER, bad), bad)
        self.assertEqual(inputs.c_integer("010"), 8)
        self.assertEqual(inputs.c_integer("-0x10"), -16)

    def test_only_ascii_digits(self):
        # Python's float() and \d take other scripts' digits; the simulator does not.
        for text in ("\uff11300", "1\u0663", "\u0661\u0662", "1e\u0663"):
            self.assertEqual(inputs.check_value(inputs.NUMBER, text),
                             'expected a number, found "%s"' % text)
            self.assertIsNotNone(inputs.check_value(inputs.INTEGER, text))

    def test_messages_quote_at_most_forty_printable_characters(self):
        self.assertEqual(inputs.check_value(inputs.NUMBER, "a\x01" + "b" * 60),
                         'expected a number, found "a?%s..."' % ("b" * 38))


class SectionTest(unittest.TestCase):
    def test_tokens_keep_place_and_line(self):
        tokens = inputs.tokenize("a  b\r\n\tc\n\nd")
        self.assertEqual([(t.text, t.start, t.line) for t in tokens],
                         [("a", 0, 1), ("b", 3, 1), ("c", 7, 2), ("d", 10, 4)])

    def test_sections_as_the_simulator_scans_them(self):
        text = ("[car] name Sedan step 0.001\n"
                "[event] kind SteerRamp v 8 v2 17 r 40 r2 40 t 40\n"
                "[event] kind Wobble 3 [event] kind Brake [event] 17\n")
        sections = inputs.parse_sections(text, "events")
        self.assertEqual([s.label() for s in sections],
                         ["[car] 1", "[event] 1", "[event] 2", "[event] 3"])
        self.assertEqual([i.field for i in sections[1].items],
                         ["kind", "speed", "endSpeed", "startRadius", "endRadius", "duration"])
        # An unknown kind reads no values; a marker read as a value opens nothing.
        self.assertEqual(len(sections[2].items), 1)
        self.assertEqual(sections[3].item("speed").values[0].text, "17")
        self.assertEqual(inputs.event_car_name(text), "Sedan")

    def test_powertrain_lists_follow_their_counts(self):
        text = "[powertrain] order 2 1 2 3 max 6000 down 3000 gears 3 3.5 2.0 1.0 [corner]"
        section = inputs.parse_sections(text, "car")[0]
        self.assertEqual([(i.field, len(i.values)) for i in section.items],
                         [("torqueOrder", 1), ("torqueCoefficients", 3), ("maxEngineSpeed", 1),
                          ("shiftDownEngineSpeed", 1), ("gearCount", 1), ("gearRatio", 3)])

    def test_rewrite_changes_only_the_tokens_given(self):
        text = "x 1.0\t# keep\r\ny 2\n"
        tokens = inputs.tokenize(text)
        self.assertEqual(inputs.rewrite(text, [(tokens[5], "-7"), (tokens[1], "1.25")]),
                         "x 1.25\t# keep\r\ny -7\n")


if __name__ == "__main__":
    unittest.main()
