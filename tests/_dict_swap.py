"""A look-up in an instance dict that runs code: a key with the hash of an
attribute name, whose __eq__ (run when the name is searched for) changes
the object under the search.  Two kinds of key:

- a stranger (`equal=False`) standing before the real entry; the search
  compares it, then goes on in the dict it started with;
- the attribute's own key (`equal=True`), a str subclass equal to the
  name, as a caller's code may leave it in the dict.

The first comparison runs `action` (by default: give the object a new,
empty dict).  A probe placed in what the action drops (the dict itself,
or a list in it) tells, from its __del__, whether that was freed right
then: a native look-up that does not hold what it reads would go on in
freed memory."""


class _Probe:
    def __init__(self, trap):
        self.trap = trap

    def __del__(self):
        self.trap.dropped = True


class _Key(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        trap = self.trap
        if trap.armed:
            trap.armed = False
            trap.action()
            trap.fired = True
            trap.freed_during_lookup = trap.dropped
        return self.equal and str.__eq__(self, other)


class Trap:
    def __init__(self, action):
        self.action = action
        self.armed = False
        self.fired = False
        self.dropped = False
        self.freed_during_lookup = False

    def probe(self):
        return _Probe(self)


def trap_lookup(obj, name, equal=False, action=None, without=(), probe_in=None):
    """Gives `obj` a dict holding the trap key for `name` (its attributes
    less those in `without`; with `equal`, the key takes the place of the
    name's own) and arms it.  `action` defaults to `obj.__dict__ = {}`;
    `probe_in(probe)` stores the probe where the action drops it (default:
    in the dict).  Returns the Trap: keep it, and read `fired` and
    `freed_during_lookup` after the call."""
    def rebind():
        obj.__dict__ = {}

    trap = Trap(action or rebind)
    key = _Key(name)
    key.trap, key.equal = trap, equal
    d = {} if equal else {key: None}
    for k, v in vars(obj).items():
        if k == name and equal:
            d[key] = v
        elif k not in without:
            d[k] = v
    if probe_in is None:
        d["_probe"] = trap.probe()
    obj.__dict__ = d
    del d
    if probe_in is not None:
        probe_in(trap.probe())
    trap.armed = True
    return trap
