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


class Overlays(unittest.TestCase):
    def test_overlays_of_var_and_of_folders_beside_it(self):
        # The unit's own folders lie under /var; the /var overlay must not hide the layers of
        # the others, whichever order a test asks for them in.
        for order in (("/var", "/usr/local", "/etc"), ("/etc", "/usr/local", "/var")):
            with self.subTest(order=order), rig.Sandbox() as sb:
                unit = sb.unit("a")
                for path in order:
                    with open(os.path.join(unit.overlay(path), "tvrig-marker"), "w") as f:
                        f.write(path + "\n")
                r = unit.run(["cat"] + [p + "/tvrig-marker" for p in order])
                self.assertEqual((r.returncode, r.stdout), (0, "".join(p + "\n" for p in order)),
                                 r.stderr)
                self.assertFalse(os.path.exists("/usr/local/tvrig-marker"))


if __name__ == "__main__":
    unittest.main()
