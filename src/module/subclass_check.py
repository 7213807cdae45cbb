# The subclass check's Python side (subclass_check.cpp says what it checks and when). The
# module runs this file once at import, from the copy compiled into it at build time, in
# a namespace of its own. Written for every interpreter the module builds for (3.7 on).
import weakref

# Near misses. A name one edit from an operation's (a letter dropped, added or changed, or
# two neighbours swapped; case and underscores aside) is taken for a slip, except where
# such a name is common in strategies for something else: operations shorter than
# NEAR_MISS_SHORTEST letters are matched only by case and underscores (req_id is one
# letter from reqIds, eror from error), and the plain plural of an operation is no slip
# (positions, errors, open_orders, tick_prices), while a dropped plural s (execDetail)
# and an s after a final s (orderStatuss) are.
NEAR_MISS_SHORTEST = 7


def folded(name):
    return name.replace("_", "").lower()


def near_index(alike):
    # Each folded operation name under itself and under each of its one-letter
    # deletions: two names one edit apart share a key (a deletion from each, or one
    # deleted to the other), so a name's candidates take len(name) + 1 lookups, however
    # many operations and names there are.
    index = {}
    for key in alike:
        if len(key) >= NEAR_MISS_SHORTEST:
            for variant in {key} | {key[:i] + key[i + 1:] for i in range(len(key))}:
                index.setdefault(variant, []).append(key)
    return index


def first_difference(a, b):
    return next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))


def one_edit(a, b):
    # Whether b is a (a != b) with one letter dropped, added or changed, or two
    # neighbours swapped.
    if len(a) > len(b):
        a, b = b, a
    if len(b) - len(a) > 1:
        return False
    i = first_difference(a, b)
    if len(a) < len(b):
        return a[i:] == b[i + 1:]
    if a[i + 1:] == b[i + 1:]:
        return a != b  # one letter changed
    return a[i + 2:] == b[i + 2:] and a[i:i + 2] == b[i + 1:i + 2] + b[i:i + 1]


def edit_between(key, target):
    # How the folded name `key` differs from the folded operation name `target`.
    i = first_difference(key, target)
    if len(key) < len(target):
        return f"a missing {target[i]!r}"
    if len(key) > len(target):
        return f"an extra {key[i]!r}"
    if key[i + 1:] == target[i + 1:]:
        return f"a changed letter ({key[i]!r} for {target[i]!r})"
    return f"two swapped letters ({key[i:i + 2]!r} for {target[i:i + 2]!r})"


def near_misses(key, near, alike):
    # (operation name, how the folded name `key` differs from it) for each operation
    # it is one slip from, but for the operation's plain plural.
    found = set()
    for variant in [key] + [key[:i] + key[i + 1:] for i in range(len(key))]:
        found.update(near.get(variant, ()))
    for target in sorted(found):
        plural = key == target + "s" and not target.endswith(("s", "x", "z", "ch", "sh"))
        if not plural and one_edit(key, target):
            yield alike[target], edit_between(key, target)


# make_check(client, operations) -> (check, give_up). `client` is OrvClient; `operations`
# holds (name, kind, number of arguments, parameter names) for every operation the
# bridge looks up on an instance.
def make_check(client, operations):
    checked = weakref.WeakSet()
    protocol = {name: (kind, count, names) for name, kind, count, names in operations}
    alike = {folded(name): name for name in protocol}
    near = near_index(alike)
    mro_of = type.__dict__["__mro__"].__get__
    dict_of = type.__dict__["__dict__"].__get__
    client_classes = mro_of(client)
    own = set(dict_of(client))

    def defined_attributes(cls):
        # name -> attribute as the class lookup finds it, for the names the subclass's own
        # classes define (the first definition along the method resolution order wins;
        # a name OrvClient itself answers is no override).
        found, seen = {}, set()
        for klass in mro_of(cls):
            names = list(dict_of(klass).items())
            mine = not any(klass is base for base in client_classes)
            for name, value in names:
                if type(name) is str and name not in seen:
                    seen.add(name)
                    if mine:
                        found[name] = value
        return found

    def unbound(value):
        # (callable to inspect, how many leading arguments the lookup binds), or None
        # when what a call through the instance receives cannot be told.
        import functools
        import types
        kind = type(value)
        if kind is types.FunctionType:
            return value, 1
        if kind is staticmethod:
            return value.__func__, 0
        if kind is classmethod:
            return value.__func__, 1
        if kind in (types.MethodType, functools.partial) or not hasattr(kind, "__get__"):
            return (value, 0) if callable(value) else None
        return None

    def problems(cls):
        import inspect
        title = cls.__qualname__
        attributes = defined_attributes(cls)
        for name, value in attributes.items():
            if name.startswith("_") or name in own:
                continue  # private by convention (_connect, _position), or OrvClient's own
            if not (callable(value) or isinstance(value, (staticmethod, classmethod))):
                continue  # not a method (classmethod objects are not callable themselves)
            key = folded(name)
            target = alike.get(key)
            if target:
                if name != target:
                    yield (f"{title}.{name} differs from the {protocol[target][0]} name "
                           f"{target} only by case or underscores: OrvClient calls {target} "
                           f"and never {name} (rename it to {target})")
                continue
            if isinstance(value, type):
                continue  # a class (a record type, say), not a method
            for target, edit in near_misses(key, near, alike):
                if not one_edit(name, target):
                    edit += ", besides case or underscores"
                yield (f"{title}.{name} differs from the {protocol[target][0]} name {target} "
                       f"by {edit}: OrvClient calls {target} and never {name} "
                       f"(rename it to {target})")
        for name, (kind, count, names) in protocol.items():
            if name not in attributes:
                continue
            target = unbound(attributes[name])
            if target is None:
                continue
            function, bound = target
            try:
                signature = inspect.signature(function)
            except (TypeError, ValueError):
                continue  # nothing to read (a built-in without a signature)
            try:
                signature.bind(*range(bound + count))
            except TypeError:
                given = f"{count} argument{'s' if count != 1 else ''}"
                yield (f"{title}.{name}{signature} cannot take the {given} OrvClient passes "
                       f"to the {kind} {name}({names})")

    def check(cls):
        # None, or the warning that the filters turned into an error: the caller raises
        # it, and the class stays unchecked, so that every instance raises it while the
        # filters say so (not only whichever one happens to come first).
        if cls in checked:
            return None
        messages = list(problems(cls))
        import warnings
        try:
            for message in messages:
                warnings.warn(message, UserWarning, stacklevel=2)
        except Warning as raised:
            return raised
        checked.add(cls)
        return None

    def give_up(cls):
        # The check failed with an error that is dropped: not tried again for this class.
        checked.add(cls)

    return check, give_up
