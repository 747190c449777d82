"""Type stubs of the zuzodoriv module: layered Photoshop documents as NumPy arrays."""
import os
from typing import Any, BinaryIO, Callable, Literal, Optional, Union

import numpy as np
import numpy.typing as npt

PathLike = Union[str, "os.PathLike[str]"]
Source = Union[PathLike, bytes, bytearray, memoryview, BinaryIO]
ColourMode = Literal["rgb", "cmyk", "grayscale", "lab", "bitmap", "multichannel", "indexed", "duotone"]
Pixels = npt.NDArray[Any]

class Error(Exception):
    """A document did not open, decode or save; the message is the library's report."""

class TruncatedError(Error):
    """The data ends before the structure it declares."""

class UnsupportedError(Error):
    """A version, depth, colour mode or pixel format the library does not handle."""

class OutOfMemoryError(Error, MemoryError):
    """A bitmap or buffer the document asks for could not be allocated."""

def open(source: Source, *, parse_text: bool = True, parse_smart_objects: bool = True) -> Document:
    """Open a document from a path, bytes or memoryview, or a binary file object."""

def write_png(path: PathLike, array: Pixels) -> None:
    """Write a uint8 or uint16 array (height x width, or x 1-4 channels) as a PNG file."""

class Layer:
    """A layer record; field names and values are those of `zuzodoriv info --json`."""

    @property
    def index(self) -> Optional[int]: ...
    name: str
    @property
    def kind(self) -> Optional[str]:
        """pixel, group, type, shape, smartobject, a fill or an adjustment; None for an end marker."""
    @property
    def section_type(self) -> int: ...
    @property
    def bbox(self) -> tuple[int, int, int, int]:
        """(left, top, right, bottom) in document pixels."""
    left: int
    top: int
    @property
    def right(self) -> int: ...
    @property
    def bottom(self) -> int: ...
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    def move_to(self, left: Optional[int] = None, top: Optional[int] = None) -> None: ...
    def move_by(self, dx: int, dy: int) -> None: ...
    visible: bool
    opacity: int
    fill_opacity: int
    blend_mode: str
    clipping: bool
    background: bool
    """The document's background layer: opaque, at the bottom, without masks, effects, opacity,
    fill opacity or a blend mode (set_mask, add_effect, opacity, fill_opacity and blend_mode
    refuse them). Set False to make it a normal
    layer that takes them, unlocked, as the editor's "Layer from Background" does. A file's
    bottom layer without transparency that holds any of them reads as a normal layer."""
    @property
    def transparency_protected(self) -> bool: ...
    @property
    def is_group(self) -> bool: ...
    @property
    def children(self) -> list[Layer]: ...
    @property
    def parent(self) -> Optional[Layer]: ...
    @property
    def channels(self) -> list[dict[str, Any]]: ...
    @property
    def layer_id(self) -> int: ...
    @property
    def locks(self) -> dict[str, bool]: ...
    @property
    def user_mask(self) -> Optional[dict[str, Any]]: ...
    @property
    def real_mask_record(self) -> Optional[dict[str, Any]]: ...
    @property
    def mask_bbox(self) -> Optional[tuple[int, int, int, int]]: ...
    @property
    def real_mask_bbox(self) -> Optional[tuple[int, int, int, int]]: ...
    @property
    def blending_range_sets(self) -> int: ...
    @property
    def block_keys(self) -> list[str]: ...
    @property
    def effects(self) -> Optional[list[dict[str, Any]]]:
        """One dict per effect (fields as in `info --json`); None without effect blocks."""
    def set_effect(self, index: int, changes: dict[str, Any]) -> None:
        """Set fields of effect `index` with the names and units of `effects` (a "gradient" with
        its name, smoothness and whole stop lists); ValueError, changing nothing, for a field
        that cannot be set or a value out of range."""
    def add_effect(self, type: str, changes: dict[str, Any] = {}) -> None:
        """Add an effect ("DropShadow", "InnerShadow", "OuterGlow", "InnerGlow", "BevelEmboss",
        "ColorOverlay", "GradientOverlay", "PatternOverlay", "Stroke", "Satin") with the editor's
        defaults (a gradient overlay's: black to white) and these fields; a pattern overlay needs
        {"pattern": {"id": ...}} naming one of the document's patterns."""
    def remove_effect(self, index: int) -> None: ...
    effects_enabled: Optional[bool]
    effects_scale: Optional[float]
    """Percent."""
    @property
    def adjustment(self) -> Optional[dict[str, Any]]:
        """Adjustment or fill settings with their "kind" (fields as in `info --json`)."""
    def set_adjustment(self, changes: dict[str, Any]) -> None:
        """Set fields of the adjustment or fill with the names and units of `adjustment` (a colour
        lookup's table as {"table": {"format": "cube" or "3dl", "data": the file's text, "name": ...}});
        ValueError, changing nothing, for a field that cannot be set or a value out of range."""
    @property
    def text(self) -> Optional[dict[str, Any]]:
        """A type layer's text: content, runs, paragraphs, frame, transform, warp (as in `info --json`)."""
    def set_text(self, content: str, redraw: bool = True) -> list[str]:
        """Replaces the text (paragraphs separated by "\r"), keeping each run's style; with redraw,
        the pixels and bounds become the new text drawn. Returns the fonts drawn with a substitute."""
    def set_text_style(self, changes: dict[str, Any], start: int = 0, length: Optional[int] = None,
                       redraw: bool = True) -> list[str]:
        """Sets run fields ("font", "size", "color", "faux_bold", "tracking", "leading", ...) on
        the characters from start for length UTF-16 units (to the end when None), as set_text redraws."""
    def set_paragraph_style(self, changes: dict[str, Any], start: int = 0, length: Optional[int] = None,
                            redraw: bool = True) -> list[str]:
        """Sets paragraph fields ("justification", "start_indent", "space_before", ...) on every
        paragraph the range touches, as set_text_style does for characters."""
    def numpy(self) -> Optional[Pixels]:
        """height x width x (colour channels, then transparency when stored); read-only."""
    def mask(self) -> Optional[Pixels]: ...
    def real_mask(self) -> Optional[Pixels]: ...
    def set_pixels(self, array: Pixels) -> None: ...
    def set_mask(self, array: Optional[Pixels], left: Optional[int] = None, top: Optional[int] = None,
                 default_colour: Optional[int] = None) -> None:
        """Replace the user mask (height x width) at (left, top); None removes it."""
    def descriptor(self, key: str) -> Optional[dict[str, Any]]: ...
    def render(self, *, effects: bool = True) -> Pixels:
        """This layer (a group: its contents) drawn alone over transparency, document-sized."""

class Document:
    """A PSD or PSB document. Pixels decode on first request."""

    @staticmethod
    def new(width: int, height: int, colour_mode: ColourMode = "rgb", depth: int = 8,
            resolution: float = 72.0, *, psb: bool = False) -> Document: ...
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def depth(self) -> int: ...
    @property
    def channels(self) -> int: ...
    @property
    def colour_mode(self) -> ColourMode: ...
    @property
    def colour_mode_name(self) -> str: ...
    @property
    def version(self) -> int: ...
    @property
    def is_psb(self) -> bool: ...
    @property
    def resolution(self) -> Optional[float]: ...
    @property
    def horizontal_guides(self) -> list[float]: ...
    @property
    def vertical_guides(self) -> list[float]: ...
    @property
    def guides(self) -> dict[str, list[float]]: ...
    @property
    def alpha_channel_names(self) -> list[str]: ...
    @property
    def icc_profile(self) -> Optional[bytes]: ...
    @property
    def has_real_merged_data(self) -> bool: ...
    @property
    def global_angle(self) -> int: ...
    @property
    def global_altitude(self) -> int: ...
    @property
    def global_light(self) -> tuple[int, int]: ...
    @property
    def caption(self) -> Optional[str]: ...
    @property
    def merged_transparency(self) -> bool: ...
    @property
    def resource_ids(self) -> list[int]: ...
    @property
    def document_block_keys(self) -> list[str]: ...
    @property
    def warnings(self) -> list[str]: ...
    @property
    def layers(self) -> list[Layer]:
        """Top-level layers and groups, top-most first."""
    def descendants(self) -> list[Layer]: ...
    def records(self) -> list[Layer]:
        """Every record in file order, bottom first, end markers included."""
    def composite(self) -> Optional[Pixels]: ...
    def render(self, *, layer: Optional[int] = None, group: str = "", effects: bool = True,
               scale: float = 1.0, whole_zip_bytes: int = 64 << 20) -> Pixels:
        """The document drawn from its layers: height x width x channels with alpha; each
        feature not drawn raises a RuntimeWarning."""
    def patterns(self) -> list[dict[str, Any]]:
        """The document's patterns in file order: name, id, colour_mode, width, height,
        has_alpha and pixels (height x width x channels float32 in 0..1, alpha last)."""
    def set_composite(self, array: Pixels) -> None: ...
    def add_layer(self, name: str, array: Pixels, left: int = 0, top: int = 0, opacity: int = 255,
                  blend_mode: str = "norm", visible: bool = True, mask: Optional[Pixels] = None,
                  parent: Optional[Layer] = None) -> Layer: ...
    def remove_layer(self, layer: Layer) -> None:
        """Remove a layer, or a group with everything in it; layers clipped to it are released."""
    def restack_layer(self, layer: Layer, index: int = 0, parent: Optional[Layer] = None) -> None:
        """Move a layer (a group with its contents) into parent (None: the top level), index
        layers from its top; past the last: at the bottom. It joins a clipping group it lands
        inside; layers clipped to it are released when it leaves. A background layer stays at
        the bottom."""
    def add_group(self, name: str, opacity: int = 255, blend_mode: str = "pass", visible: bool = True,
                  parent: Optional[Layer] = None) -> Layer: ...
    def add_adjustment_layer(self, kind: str, changes: dict[str, Any] = ..., name: Optional[str] = None,
                             opacity: int = 255, blend_mode: str = "norm", visible: bool = True,
                             parent: Optional[Layer] = None) -> Layer:
        """Add an adjustment or fill layer of a kind as `Layer.adjustment` names it ("levels",
        "curves", ..., "solidcolorfill", "gradientfill", "patternfill") with the editor's settings
        for a new one (and its empty white mask) and the fields of changes (as `set_adjustment`; a pattern fill needs its
        "pattern"), at the top of the document or of parent; named after its kind by default."""
    def save(self, target: Union[PathLike, BinaryIO], *, psb: bool = False,
             compression: Literal["rle", "zip"] = "rle",
             progress: Optional[Callable[[int, int], object]] = None) -> None: ...
