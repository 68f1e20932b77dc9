"""The stand-in document framework: fields, records, documents and storage."""

import array
import base64
import copy
import json
import pickle

import pytest
from hypothesis import given, settings, strategies as st
from zarn_fields import DictField, StringField, ValidationError

import zarn_engine
from zarn_engine import (AclItem, ConflictError, Document, DoesNotExist, EmbeddedDocument,
                         EmbeddedDocumentField, InvalidKey, ListField, LoadError)


class Item(EmbeddedDocument):
    code = StringField(required=True, regex="^[a-z]+$")
    note = StringField()


class Shelf(Document):
    _key_fields = ["label"]
    label = StringField(regex="^[a-z0-9-]+$")
    items = ListField(EmbeddedDocumentField(Item), default=[])
    first = EmbeddedDocumentField(document_type=Item)
    meta = DictField()


def test_fields_keep_their_options():
    f = StringField(required=True, regex="x", sample="s", description="d", unique=True, default="v")
    assert list(f.options.items()) == [("required", True), ("regex", "x"), ("sample", "s"),
                                       ("description", "d"), ("unique", True), ("default", "v")]
    assert ListField(StringField(), description="d").item_field.options == {}
    with pytest.raises(TypeError, match="unexpected keyword argument 'bogus'"):
        StringField(bogus=1)
    with pytest.raises(TypeError):
        EmbeddedDocumentField(int)


def test_records():
    assert Item(code="a") == Item(code="a") and Item(code="a") != Item(code="b")
    assert Item(code="a") != AclItem(obj="a", act="b")
    with pytest.raises(TypeError, match=r"Item\(\) got an unexpected keyword argument 'size'"):
        Item(code="a", size=1)
    assert list(Shelf._fields) == ["label", "items", "first", "meta"]
    a, b = Shelf(), Shelf()
    assert a.items == [] and a.items is not b.items and a.meta is None
    a.items.append(Item(code="x"))
    a.extra = 5  # not a field
    assert a.extra == 5 and b.items == []


def test_compact_records_behave_as_records():
    item = Item(code="a")
    assert not hasattr(item, "__dict__") and Item._fields["code"].regex == "^[a-z]+$"
    with pytest.raises(AttributeError):
        item.size = 1  # neither a field nor a slot
    del item.note
    assert item == Item(code="a") and repr(item) == "Item(code='a', note=None)"
    assert item.to_display() == {"code": "a", "note": None}
    with pytest.raises(AttributeError):
        item.note  # an emptied slot reads as Python reads it

    class Tagged(Item):  # no fields of its own: keeps an instance dict for its own attributes
        @property
        def code(self):
            return "shown"

    class Sized(Item):  # fields of its own: slots beside the inherited ones
        size = StringField(regex="^[0-9]+$")

    class Picky(Item):
        def __eq__(self, other):
            return True

        __hash__ = None

    tagged = Tagged(code="x", note="n")
    tagged.extra = 5
    # Declarations and stored values are the framework's; the property is the class's.
    assert tagged.code == "shown" and tagged.to_display() == {"code": "x", "note": "n"}
    assert tagged == Tagged(code="x", note="n") and tagged != Item(code="x", note="n")
    assert Tagged.from_display(code="y").to_display() == {"code": "y", "note": None}
    sized = Sized(code="b", size="12")
    assert list(Sized._fields) == ["code", "note", "size"] and not hasattr(sized, "__dict__")
    assert sized.to_display() == {"code": "b", "note": None, "size": "12"}
    with pytest.raises(ValidationError, match=r"Sized\.size: does not match"):
        Sized(code="b", size="x")
    assert Picky(code="a") == Picky(code="b")
    assert ListField(EmbeddedDocumentField(Sized)).from_display([{"code": "c", "note": None, "size": "1"}]) == [
        Sized(code="c", size="1")]


def test_record_writes_count_changes_of_built_records(engine):
    from zarn_engine.document import record_writes

    start = record_writes()
    shelf = Shelf(label="s1", items=[Item(code="a"), Item.from_display(code="b")], first=Item(code="c"))
    shelf.save()
    loaded = Shelf.load("s1")
    loaded.meta = {"k": 1}  # a document's own fields are not records'
    loaded.items.append(Item(code="d"))
    assert copy.deepcopy(loaded) == loaded and pickle.loads(pickle.dumps(loaded.items)) == loaded.items
    assert record_writes() == start
    loaded.items[0].note = "n"
    assert record_writes() == start + 1
    del loaded.first.note
    assert record_writes() == start + 2
    with pytest.raises(AttributeError):
        loaded.items[0].size = 3
    assert record_writes() == start + 2


def test_display_round_trip():
    shelf = Shelf.from_display(label="s1", items=[{"code": "ab"}], first={"code": "cd", "note": "n"}, meta={"k": 1})
    assert isinstance(shelf.items[0], Item) and shelf.first.note == "n"
    assert shelf.to_display() == {"label": "s1", "items": [{"code": "ab", "note": None}],
                                  "first": {"code": "cd", "note": "n"}, "meta": {"k": 1}}
    assert Item.from_display(code="A!").code == "A!"  # conversion does not validate
    with pytest.raises(TypeError, match="unexpected keyword argument 'zz'"):
        Item.from_display(zz=1)


def test_validation_names_class_field_and_value():
    with pytest.raises(ValidationError, match=r"Item\.code: required field is missing"):
        Item()  # records refuse what a save would refuse, where they are built
    with pytest.raises(ValidationError, match=r"Item\.code: does not match .*'B'"):
        Item(code="B")
    with pytest.raises(ValidationError, match=r"Item\.note: expected str, got int"):
        Item.from_display(code="a", note=5)
    assert Item.from_display(code="B").code == "B"  # plain data: patterns are checked on save
    with pytest.raises(ValidationError, match=r"Shelf\.items\[1\]\.code: does not match .*'B'"):
        Shelf(label="s", items=[Item(code="a"), Item.from_display(code="B")]).validate()
    with pytest.raises(ValidationError, match=r"Shelf\.meta: expected dict, got list"):
        Shelf(label="s", meta=[]).validate()
    with pytest.raises(ValidationError) as info:
        Shelf(label="s", items=[AclItem(obj="o", act="a")]).validate()
    assert (info.value.document, info.value.field) == ("Shelf", "items[0]")



VALUES = st.one_of(st.sampled_from(["a", "zz", "B", "a b", "", None]), st.integers(0, 2))


@settings(max_examples=300, deadline=None)
@given(st.lists(st.tuples(VALUES, VALUES), max_size=6), st.booleans())
def test_lists_are_checked_in_bulk_as_one_by_one(rows, patterns):
    """The bulk check of a list of records or strings refuses exactly what the item-by-item
    check refuses, with the same error."""
    items = []
    for code, note in rows:
        item = Item.__new__(Item)
        Item._store(item, {"code": code, "note": note})  # as loaded, unchecked
        items.append(item)
    for field, values in ((ListField(EmbeddedDocumentField(Item)), items),
                          (ListField(StringField(required=True, regex="^[a-z]+$")), [c for c, _ in rows])):
        def outcome(check):
            try:
                check()
            except ValidationError as exc:
                return str(exc)

        one_by_one = outcome(lambda: [field.item_field.check(v, "D", f"f[{i}]", True, patterns)
                                      for i, v in enumerate(values)])
        assert outcome(lambda: field.check(values, "D", "f", True, patterns)) == one_by_one

def test_save_load_delete(engine):
    shelf = Shelf(label="s1", items=[Item(code="ab")], meta={"k": [1, 2]})
    shelf.save()
    loaded = Shelf.load("s1")
    assert loaded == shelf and loaded.items[0] == Item(code="ab")
    loaded.items.append(Item(code="cd"))
    loaded.save()
    assert len(Shelf.load("s1").items) == 2
    unnamed = Shelf()
    unnamed.save()
    assert unnamed.label.startswith("doc-") and Shelf.keys() == sorted(["s1", unnamed.label])
    assert Shelf.delete("s1") and not Shelf.delete("s1")
    with pytest.raises(DoesNotExist):
        Shelf.load("s1")


def test_failed_validation_writes_nothing(engine):
    with pytest.raises(ValidationError):
        Shelf(label="s1", items=[Item.from_display(code="BAD")]).save()
    assert Shelf.keys() == []


def test_a_class_without_key_fields_is_refused_before_any_store(tmp_path, monkeypatch):
    class Unkeyed(Document):
        note = StringField()

    monkeypatch.setenv("ZARN_DB", str(tmp_path / "default.sqlite3"))
    previous = zarn_engine.use_engine(None)
    try:
        with pytest.raises(InvalidKey, match=r"Unkeyed has no key fields .*nothing was written"):
            Unkeyed(note="n").save()
    finally:
        zarn_engine.use_engine(previous)
    assert not (tmp_path / "default.sqlite3").exists()  # no default store opened for it


def test_conflicting_saves(engine):
    Shelf(label="s1").save()
    one, two = Shelf.load("s1"), Shelf.load("s1")
    one.meta = {"by": "one"}
    one.save()
    two.meta = {"by": "two"}
    with pytest.raises(ConflictError):
        two.save()
    assert Shelf.load("s1").meta == {"by": "one"}
    with pytest.raises(ConflictError):
        Shelf(label="s1").save()  # a new instance does not overwrite a stored one


def test_loading_runs_the_initialiser(engine):
    made = []

    class Counted(Document):
        _key_fields = ["label"]
        label = StringField()

        def __init__(self, **kw):
            made.append(sorted(kw))
            super().__init__(**kw)

    Counted(label="a").save()
    Counted.load("a")
    assert made == [["label"], ["label"]]


def test_malformed_stored_data(tmp_path):
    engine = zarn_engine.SQLiteEngine(tmp_path / "db")
    engine.save("Shelf", "bad", '{"items": "nope"}', None)
    engine.save("Shelf", "good", '{"label": "good"}', None)
    with pytest.raises(LoadError, match=r"Shelf 'bad', field 'items'"):
        Shelf.load("bad", engine=engine)
    assert Shelf.load("good", engine=engine).label == "good"


def test_stored_text_round_trips_and_shares_strings(engine):
    shelf = Shelf(label="s1", items=[Item(code="ab", note="n"), Item(code="cd"), Item(code="ab", note="n")],
                  first=Item(code="ef"), meta={"k": [1]})
    shelf.save()
    text, _ = engine.load("Shelf", "s1")
    loaded = Shelf._from_stored("s1", text)
    assert loaded == shelf and loaded.to_display() == shelf.to_display()
    a, b, c = loaded.items
    assert a.code is c.code and a.note is c.note and b.note is None  # equal strings are one object
    # Lists that do not fit the columns (another class, another value type) keep display data.
    class Marked(Item):
        pass

    odd = Shelf(label="s2", items=[Item(code="ab"), Marked(code="cd")])
    assert Shelf._from_stored("s2", odd._to_stored()).items == [Item(code="ab"), Item(code="cd")]
    empty = Shelf(label="s3")
    assert Shelf._from_stored("s3", empty._to_stored()) == empty
    # Text stored as display data (all documents of earlier versions) still loads.
    old = json.dumps(shelf.to_display())
    assert Shelf._from_stored("s1", old) == shelf


def _columns(*rows, strings=None):
    """A stored Shelf 's1' whose items are given by their positions in `strings`."""
    def encode(column):
        return base64.b64encode(array.array("I", column).tobytes()).decode()

    codes, notes = [list(c) for c in zip(*rows)] if rows else ([], [])
    return json.dumps({"~": 1, "strings": strings if strings is not None else ["ab", None, "B"],
                       "fields": {"label": "s1"}, "lists": {"items": {"code": encode(codes), "note": encode(notes)}}})


@pytest.mark.parametrize("text, error", [
    (_columns((0, 1), (2, 1)), r"field 'items\[1\]\.code': does not match"),
    (_columns((0, 1), (1, 1)), r"field 'items\[1\]\.code': required field is missing"),
    (_columns((0, 1), strings=["ab", 5]), r"damaged"),
    (_columns((0, 3)), r"field 'items': stored columns are damaged"),
    (_columns((0, 1)).replace('"note": "', '"note": "!'), r"field 'items': stored columns are damaged"),
    (json.dumps({"~": 1, "strings": [], "fields": {}, "lists": {"items": {"code": "", "note": "AAAAAA=="}}}),
     r"field 'items': stored columns are damaged"),
    (json.dumps({"~": 1, "strings": ["ab"], "fields": {}, "lists": {"items": {"code": "AAAAAA==", "size": "AAAAAA=="}}}),
     r"field 'items': Item.from_display\(\) got an unexpected keyword argument 'size'"),
    (json.dumps({"~": 1, "strings": [], "fields": {}, "lists": {"meta": {}}}),
     r"field 'meta' is not a list of records stored by columns"),
    (json.dumps({"~": 3, "strings": [], "fields": {}, "lists": {}}), r"a format this version cannot read \(3\)"),
])
def test_damaged_or_refused_stored_columns(text, error):
    with pytest.raises(LoadError, match=r"^Shelf 's1'.*" + error):
        Shelf._from_stored("s1", text)
    assert Shelf._from_stored("s1", _columns((0, 1), (0, 1))).items == [Item(code="ab")] * 2


def test_stored_columns_values_with_a_pattern_first():
    """The strings of fields with a pattern lead the stored strings, and a load checks them as
    a run; a position past that run, or a run that does not match, is checked value by value,
    so the text is refused exactly where a record is wrong and loads where none is."""
    shelf = Shelf(label="s1", items=[Item(code="ab", note="zz"), Item(code="cd", note="ab"), Item(code="ef")])
    data = json.loads(shelf._to_stored())
    assert data["~"] == 2 and data["strings"][:data["patterned"]] == ["ab", "cd", "ef"]
    assert Shelf._from_stored("s1", json.dumps(data)) == shelf

    def text(codes, strings, patterned):
        stored = json.loads(_columns(*((c, 1) for c in codes), strings=strings))
        return json.dumps({**stored, "~": 2, "patterned": patterned})

    # A field that had no pattern when saved: its values lie past the run.
    assert [i.code for i in Shelf._from_stored("s1", text([0, 2], ["ab", None, "cd"], 1)).items] == ["ab", "cd"]
    for codes, strings, patterned in (([0, 2], ["ab", None, "CD"], 1), ([0, 2], ["ab", None, "CD"], 3),
                                      ([1, 0], ["CD", "ab", None], 2)):
        with pytest.raises(LoadError, match=r"field 'items\[(0|1)\]\.code': does not match"):
            Shelf._from_stored("s1", text(codes, strings, patterned))
    # A run holding a string that no field with a pattern uses still loads.
    assert len(Shelf._from_stored("s1", text([0, 0], ["ab", None, "CD"], 3)).items) == 2
    for patterned in (-1, 4, True, "1", None):
        with pytest.raises(LoadError, match=r"damaged"):
            Shelf._from_stored("s1", text([0], ["ab", None, "cd"], patterned))


@settings(max_examples=300, deadline=None)
@given(st.lists(st.sampled_from(["ab", "cd", "B", "", None, "x y"]), min_size=1, max_size=5, unique=True),
       st.lists(st.tuples(st.integers(0, 5), st.integers(0, 5)), max_size=6), st.data())
def test_stored_columns_load_alike_with_and_without_a_checked_run(strings, rows, data):
    """Whatever run of strings a text claims its patterned values come from, it loads as the
    same text without that claim does: the same records, or the same refusal."""
    patterned = data.draw(st.integers(0, len(strings)))
    plain = _columns(*rows, strings=strings)

    def outcome(text):
        try:
            return [item.to_display() for item in Shelf._from_stored("s1", text).items]
        except LoadError as exc:
            return str(exc)

    assert outcome(json.dumps({**json.loads(plain), "~": 2, "patterned": patterned})) == outcome(plain)


def test_stored_columns_checked_where_a_field_can_refuse():
    """Fields without a pattern are looked at only for missing values; a position past the
    strings in any column is damage, whichever field it is."""
    class Tag(EmbeddedDocument):
        key = StringField(required=True)
        value = StringField()

    class Box(Document):
        _key_fields = ["label"]
        label = StringField()
        tags = ListField(EmbeddedDocumentField(Tag), default=[])

    def text(keys, values, strings):
        encode = lambda column: base64.b64encode(array.array("I", column).tobytes()).decode()  # noqa: E731
        return json.dumps({"~": 1, "strings": strings, "fields": {"label": "b"},
                           "lists": {"tags": {"key": encode(keys), "value": encode(values)}}})

    strings = ["k", None, "v"]
    assert [t.to_display() for t in Box._from_stored("b", text([0, 0], [1, 2], strings)).tags] == [
        {"key": "k", "value": None}, {"key": "k", "value": "v"}]
    with pytest.raises(LoadError, match=r"field 'tags\[1\]\.key': required field is missing"):
        Box._from_stored("b", text([0, 1], [2, 2], strings))
    for keys, values in (([0, 3], [2, 2]), ([0, 0], [2, 3])):
        with pytest.raises(LoadError, match=r"field 'tags': stored columns are damaged"):
            Box._from_stored("b", text(keys, values, strings))


def test_stored_columns_of_a_record_class_changed_since():
    """Columns saved before the record class gained a field, or its own checks, load through
    the class's display conversion and validation."""
    class Grown(Item):
        size = StringField(regex="^[0-9]+$")

        def validate(self, *args, **kwargs):
            super().validate(*args, **kwargs)
            if self.code == "zz":
                raise ValidationError("Grown", "code", "zz", "reserved")

    class Rack(Document):
        _key_fields = ["label"]
        label = StringField()
        items = ListField(EmbeddedDocumentField(Grown), default=[])

    text = _columns((0, 1), (0, 1)).replace('"label": "s1"', '"label": "r1"')
    assert Rack._from_stored("r1", text).items == [Grown(code="ab")] * 2
    with pytest.raises(LoadError, match=r"^Rack 'r1', field 'code': reserved"):
        Rack._from_stored("r1", text.replace('["ab", null, "B"]', '["zz", null, "B"]'))
