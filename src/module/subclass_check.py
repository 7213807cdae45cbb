# The subclass check's Python side (subclass_check.cpp says what it checks and when). The
# module runs this file once at import, from the copy compiled into it at build time, in
# a namespace of its own. Written for every interpreter the module builds for (3.7 on).
import weakref


# make_check(client, operations) -> (check, give_up). `client` is OrvClient; `operations`
# holds (name, kind, number of arguments, parameter names) for every operation the
# bridge looks up on an instance.
def make_check(client, operations):
    checked = weakref.WeakSet()
    protocol = {name: (kind, count, names) for name, kind, count, names in operations}
    alike = {name.replace("_", "").lower(): name for name in protocol}
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
            if name.startswith("_"):
                continue  # private by convention (_connect, _position): not meant as one
            target = alike.get(name.replace("_", "").lower())
            if (target and name != target and name not in own and
                    (callable(value) or isinstance(value, (staticmethod, classmethod)))):
                kind = protocol[target][0]
                yield (f"{title}.{name} differs from the {kind} name {target} only by case or "
                       f"underscores: OrvClient calls {target} and never {name} "
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
