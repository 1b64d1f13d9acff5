"""A plain numpy version of Evenor's noise power spectrum, for the tests and
the speed comparison: the same method, written independently of the C++ one.

ROIs of 256 x 256 pixels overlapping by half, the grid centred in the image;
each ROI detrended by a least-squares fit of 1, x, y, x^2, xy, y^2 (solved with
numpy's lstsq on the plain monomials); NPS = dx^2 / N^2 * mean |rfft2|^2;
NNPS = NPS / mean^2; the 1-D cuts average the 7 lines on each side of an axis,
the axis left out; the radial average takes the frequencies whose distance
from 0 rounds to k bins, the axes left out.
"""

import numpy as np

N = 256
HALF = N // 2
LINES = 7


def design_pinv():
    y, x = np.mgrid[0:N, 0:N].astype(np.float64)
    x -= (N - 1) / 2.0
    y -= (N - 1) / 2.0
    basis = np.stack([np.ones_like(x), x, y, x * x, x * y, y * y]).reshape(6, -1).T
    return basis, np.linalg.pinv(basis)


def roi_corners(rows, cols):
    across = (cols - N) // HALF + 1
    down = (rows - N) // HALF + 1
    left = (cols - ((across - 1) * HALF + N)) // 2
    top = (rows - ((down - 1) * HALF + N)) // 2
    return [(top + j * HALF, left + i * HALF) for j in range(down) for i in range(across)]


def nnps_2d(image, spacing, batch=32):
    """Returns (the 2-D NNPS as rfft2 lays it out, the mean, the ROI count)."""
    image = np.asarray(image, dtype=np.float64)
    basis, pinv = design_pinv()
    corners = roi_corners(*image.shape)
    power = np.zeros((N, HALF + 1))
    mean_sum = 0.0
    for start in range(0, len(corners), batch):
        rois = np.stack([image[y:y + N, x:x + N] for y, x in corners[start:start + batch]])
        flat = rois.reshape(len(rois), -1)
        coefficients = flat @ pinv.T
        residual = (flat - coefficients @ basis.T).reshape(rois.shape)
        mean_sum += rois.mean(axis=(1, 2)).sum()
        power += (np.abs(np.fft.rfft2(residual)) ** 2).sum(axis=0)
    mean = mean_sum / len(corners)
    nps = power * spacing * spacing / (N * N * len(corners))
    return nps / (mean * mean), mean, len(corners)


def curves(nnps, spacing):
    """frequencies (mm^-1), horizontal, vertical, radial: k = 1 .. N/2."""
    k = np.arange(1, HALF + 1)
    lines = list(range(1, LINES + 1)) + [N - l for l in range(1, LINES + 1)]
    horizontal = nnps[lines][:, k].mean(axis=0)
    # u = -l is the mirror of (l, -v).
    vertical = np.array([(nnps[kk, 1:LINES + 1].sum() + nnps[N - kk, 1:LINES + 1].sum()) / (2 * LINES)
                         for kk in k])
    v = np.fft.fftfreq(N, 1.0 / N)[:, None]
    u = np.arange(HALF + 1)[None, :]
    distance = np.rint(np.hypot(u, v)).astype(int)
    keep = (u > 0) & (v != 0) & (distance <= HALF)
    sums = np.bincount(distance[keep], weights=nnps[keep], minlength=HALF + 1)
    counts = np.bincount(distance[keep], minlength=HALF + 1)
    radial = sums[1:] / counts[1:]
    return k / (N * spacing), horizontal, vertical, radial
