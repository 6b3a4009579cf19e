"""A damaged index always gets lines of our own and a working --rebuild:
damage that once slipped through, and a sample of the variants
bench/index_damage_fuzz.py draws by the thousand."""
import pytest

from index_damage import TARGETED, Material, check_variant, run_variants


@pytest.fixture(scope="module")
def material(tmp_path_factory):
    return Material(tmp_path_factory.mktemp("damage"))


@pytest.mark.parametrize("change", [change for _, change in TARGETED], ids=[what for what, _ in TARGETED])
def test_targeted_damage(material, change):
    assert check_variant(material, change(material.pristine), None) == []


def test_the_write_ahead_log_of_another_index(material):
    assert check_variant(material, material.pristine, material.other_wal) == []


def test_random_damage(tmp_path):
    assert run_variants(tmp_path / "work", count=40, seed=20261208) == []
