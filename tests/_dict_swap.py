"""An instance dict that is replaced while it is searched: its first key has
the hash of an attribute name, and that key's __eq__, run when the name is
looked up, gives the instance a new dict.  A look-up that does not hold the
dict it searches lets it be freed right there and reads freed memory; the
probe stored in the dict tells, from its __del__, that this happened."""


class _Probe:
    def __init__(self, swap):
        self.swap = swap

    def __del__(self):
        self.swap.dict_freed = True


class Swap:
    def __init__(self, obj, name):
        self.obj = obj
        self.name = name
        self.armed = False
        self.swapped = False
        self.dict_freed = False
        self.freed_during_lookup = False

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        if self.armed:
            self.armed = False
            self.obj.__dict__ = {}
            self.swapped = True
            self.freed_during_lookup = self.dict_freed
        return False


def swap_during_lookup(obj, name, without=()):
    """Gives `obj` a dict of the swapping key, its attributes less those in
    `without`, and a probe; the swap happens at the next look-up of `name`
    in that dict.  Returns the Swap (keep it alive; read `swapped` and
    `freed_during_lookup` after the call)."""
    swap = Swap(obj, name)
    d = {swap: None}
    d.update((k, v) for k, v in vars(obj).items() if k not in without)
    d["_probe"] = _Probe(swap)
    obj.__dict__ = d
    del d
    swap.armed = True
    return swap
