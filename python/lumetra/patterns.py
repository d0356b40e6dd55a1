"""Projection patterns as the tomographic-printing tools write them, turned into the power of
each ray of the beam at each angle.

Accepted files (``light.intensities``):

- ``.npy`` of shape (angles, rays): one power per ray, rays in the beam's own order;
- ``.npy`` of shape (angles, rows, columns) or (rows, angles, columns) (``light.pattern_layout``
  says which): one image per angle;
- ``.npy`` sinograms of shape (columns, angles, rows), the array the tomographic-printing
  toolboxes keep (detector position across, angle, height): ``pattern_layout =
  "columns_angles_rows"``. Their height index counts up the axis, as a voxel array's z does:
  index 0 is the bottom row, not the top. A toolbox's pickled ``.sino`` file is refused (a
  pickle can run code when read): save its array with ``numpy.save``;
- 8-bit PNG images, one per angle, sorted by file name: a folder of them, or a glob pattern.

Image orientation, the same for every image file: row 0 is the top of the image, the end of
the beam furthest along ``light.axis``; column 0 is the left, the side towards
-(axis x direction) (looking from the vial into the projector, the axis up, the image
reads as drawn). rows = ``light.rays_high``, columns = ``light.rays_across``. PNG grey values
0..255 map to powers 0..1 (colour images are refused: save the grey channel).
"""

from __future__ import annotations

import glob
from pathlib import Path

import numpy as np

from lumetra.scenario import ScenarioError

__all__ = ["LAYOUTS", "load_npy", "read_images", "to_rays"]

LAYOUTS = ("angles_rows_columns", "rows_angles_columns", "columns_angles_rows")
KEY = "light.intensities"


def load_npy(path: str) -> np.ndarray:
    """The array of a .npy file, refused (naming the file and why) when it cannot be read,
    is cut short, is an archive of several arrays (.npz) or a pickled sinogram (.sino)."""
    if path.lower().endswith(".sino"):
        raise ScenarioError(
            f"{KEY}: {path} is a pickled sinogram, which is not read (unpickling can run any code); "
            "save its array as .npy first, np.save(path, sino.array), and set light.pattern_layout = "
            '"columns_angles_rows"'
        )
    try:
        values = np.load(path, allow_pickle=False)
    except (OSError, ValueError, EOFError) as error:
        reason = "the file is empty or cut short" if isinstance(error, EOFError) else str(error)
        raise ScenarioError(f"{KEY}: cannot read {path}: {reason}") from error
    if not isinstance(values, np.ndarray):  # an np.savez archive
        names = ", ".join(values.files)
        values.close()
        raise ScenarioError(
            f"{KEY}: {path} is an archive of arrays ({names}), not one array; save the "
            "(angles, rays) array alone with numpy.save"
        )
    return values


def read_images(path: str) -> np.ndarray:
    """The 8-bit grey PNG images of a folder or glob pattern, sorted by name, stacked as
    (images, rows, columns) with values 0..1."""
    try:
        from PIL import Image
    except ImportError as error:
        raise ScenarioError(f"{KEY}: reading PNG images needs Pillow (pip install pillow)") from error
    p = Path(path)
    names = sorted(str(f) for f in p.glob("*.png")) if p.is_dir() else sorted(glob.glob(path))
    if not names:
        raise ScenarioError(f"{KEY}: no PNG image in {path}")
    images = []
    for name in names:
        try:
            with Image.open(name) as image:
                if image.mode not in ("L", "P", "1"):
                    raise ScenarioError(f"{KEY}: {name} is a {image.mode} image; patterns are 8-bit grey (mode L)")
                images.append(np.asarray(image.convert("L"), dtype=float) / 255.0)
        except OSError as error:
            raise ScenarioError(f"{KEY}: cannot read {name} as an image: {error}") from error
    shapes = {im.shape for im in images}
    if len(shapes) > 1:
        raise ScenarioError(f"{KEY}: the images in {path} differ in size: {sorted(shapes)}")
    return np.stack(images)


def to_rays(values: np.ndarray, source: str, layout: str, rows: int | None, columns: int | None) -> np.ndarray:
    """Patterns as (angles, rays) in the beam's ray order (rays_high slow from the low end of
    the axis, rays_across fast): a 2-D array is taken as it is; a stack of images is read in
    the layout given and turned so row 0 is the top; a sinogram (columns, angles, rows) has
    its rows counted from the bottom already."""
    if values.ndim == 2:
        return values
    if values.ndim != 3:
        raise ScenarioError(
            f"{KEY}: {source} has {values.ndim} dimensions; expected (angles, rays) or an image "
            "stack (see light.pattern_layout)"
        )
    if rows is None:
        raise ScenarioError(
            f'{KEY}: {source} is a stack of images, which needs light.source = "beam" (its '
            "rays_high x rays_across grid is the image)"
        )
    if layout == "rows_angles_columns":
        values = values.transpose(1, 0, 2)
    elif layout == "columns_angles_rows":
        values = values.transpose(1, 2, 0)
    if values.shape[1:] != (rows, columns):
        raise ScenarioError(
            f"{KEY}: {source} holds images of {values.shape[1]} x {values.shape[2]} pixels (rows x "
            f"columns, layout {layout}); the beam has light.rays_high x light.rays_across = "
            f"{rows} x {columns}"
        )
    if layout != "columns_angles_rows":  # images count their rows from the top
        values = values[:, ::-1, :]
    return values.reshape(len(values), rows * columns)
