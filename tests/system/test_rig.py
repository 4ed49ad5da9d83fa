"""The rig itself: what a unit's programs see of the host."""

import os
import shutil
import unittest
from unittest import mock

import rig


class KeptTrees(unittest.TestCase):
    def setUp(self):
        self.sb = rig.Sandbox()
        self.addCleanup(self.sb.close)
        self.unit = self.sb.unit("a")

    def test_build_and_source_trees_in_two_places_under_tmp(self):
        # Both trees stay reachable at their paths although the unit has /tmp of its own.
        trees = ["/tmp/tvrig-keep-%d-%s" % (os.getpid(), name) for name in ("build", "source")]
        for tree in trees:
            os.makedirs(tree)
            self.addCleanup(shutil.rmtree, tree, True)
            with open(tree + "/marker", "w") as f:
                f.write(tree + "\n")
        with mock.patch.dict(os.environ, {"TOLVANE_BUILD_DIR": trees[0]}), \
                mock.patch.object(rig, "SOURCE_DIR", trees[1]):
            r = self.unit.run(["cat", trees[0] + "/marker", trees[1] + "/marker"])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, "".join(t + "\n" for t in trees))


if __name__ == "__main__":
    unittest.main()
