"""Render scoreboard JSON → standalone HTML dashboard.

render_html(json_path, ...) writes the dashboard page; _build_trending_html
builds the trending-lists section; _row_to_array, _mio and
_build_bolge_sube_maps are the row encoding and the region and branch maps
that a render uses, open to a caller that wants to look at them."""

from kemora._panogen import (  # noqa: F401
    DEFAULT_CHUNK_SIZE,
    DEFAULT_TOP_N,
    SEG_MAP,
    SEGMENTS_LIST,
    TemplateError,
    TemplateNotFound,
    _build_bolge_sube_maps,
    _build_trending_html,
    _code_key,
    _mio,
    _row_to_array,
    render_html,
)


class CodeMap(dict):
    """BOLGE_MAP or SUBE_MAP: region or branch code → position in its list.

    A code finds only a key of the same type and text, as in the rendered
    page: the text "101", the integer 101 and the real 101.0 are three codes,
    although Python's dict takes 101 and 101.0 for one key. Looking up
    (m[code], code in m, m.get(code)) goes by that rule. As a dict it holds
    each code once by Python's equality (the first of codes that Python finds
    equal), so that json.dumps(m) and dict(m) work as for any dict. The map
    is read-only; dict(m) gives a plain copy to change."""

    __slots__ = ("_exact", "_codes")

    @classmethod
    def _of(cls, codes, keys):
        m = cls()
        exact = {}
        for position, (code, key) in enumerate(zip(codes, keys)):
            exact[key] = position
            dict.setdefault(m, code, position)
        m._exact = exact
        m._codes = list(codes)
        return m

    def __init__(self, *args, **kwargs):
        if args or kwargs:
            raise TypeError("a CodeMap is made by _build_bolge_sube_maps; use a dict for a map of your own")
        dict.__init__(self)
        self._exact = {}
        self._codes = []

    def __getitem__(self, code):
        key = _code_key(code)
        if key is None or key not in self._exact:
            raise KeyError(code)
        return self._exact[key]

    def __contains__(self, code):
        key = _code_key(code)
        return key is not None and key in self._exact

    def get(self, code, default=None):
        key = _code_key(code)
        return default if key is None else self._exact.get(key, default)

    def __eq__(self, other):
        if isinstance(other, CodeMap):
            return self._exact == other._exact
        return dict.__eq__(self, other)

    __hash__ = None

    def __ne__(self, other):
        return not self == other

    def __repr__(self):
        return f"CodeMap({dict.__repr__(self)})"

    def __reduce__(self):
        return (_code_map_of, (self._codes, list(self._exact)))

    def _read_only(self, *args, **kwargs):
        raise TypeError("a CodeMap is read-only; dict(m) gives a copy to change")

    __setitem__ = __delitem__ = update = setdefault = pop = popitem = clear = __ior__ = _read_only


def _code_map_of(codes, keys):
    return CodeMap._of(codes, keys)


__all__ = [
    "SEGMENTS_LIST",
    "SEG_MAP",
    "DEFAULT_CHUNK_SIZE",
    "DEFAULT_TOP_N",
    "TemplateError",
    "TemplateNotFound",
    "CodeMap",
    "render_html",
    "_build_trending_html",
    "_row_to_array",
    "_mio",
    "_build_bolge_sube_maps",
]
