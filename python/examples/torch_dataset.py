"""A PyTorch Dataset over a split of an sph.dataset folder (--format h5):
windows of consecutive stored states as inputs, the states after them as
targets. An example to copy and adapt; sph itself does not need PyTorch
(Debian's python3-torch has it).

    import torch
    from torch_dataset import Windows
    train = Windows("set/train.h5", input_states=6)
    loader = torch.utils.data.DataLoader(train, batch_size=8, shuffle=True, num_workers=2)
    for batch in loader:
        batch["position"]  # (8, 6, N, 3): the input states
        batch["gravity"]   # (8, 6, K, 3): the gravity of the K frames after each
        batch["target"]    # (8, 1, N, 3): the state after them

Positions are in world units (the box spans 0 to 336); normalise with
metadata.json's vel_mean, vel_std, acc_mean and acc_std.
"""
import h5py
import numpy as np
import torch


class Windows(torch.utils.data.Dataset):
    """Every window of `input_states` + `target_states` consecutive stored
    states of every run in the HDF5 file at `path`."""

    def __init__(self, path, input_states=6, target_states=1):
        self.path, self.input_states, self.window = path, input_states, input_states + target_states
        with h5py.File(path, "r") as file:
            self.names = sorted(file.keys(), key=int)
            windows = [max(file[name]["position"].shape[0] - self.window + 1, 0) for name in self.names]
            self.every = int(file[self.names[0]]["kept_frames"][1]) if self.names else 1
        self.starts = np.cumsum([0] + windows)
        self.file = None  # opened in each process that reads (DataLoader workers are separate processes)

    def __len__(self):
        return int(self.starts[-1])

    def __getitem__(self, index):
        if not 0 <= index < len(self):
            raise IndexError(index)
        if self.file is None:
            self.file = h5py.File(self.path, "r")
        run = int(np.searchsorted(self.starts, index, side="right")) - 1
        first = int(index - self.starts[run])
        group = self.file[self.names[run]]
        positions = group["position"][first:first + self.window]
        frame = int(group["kept_frames"][first])
        gravity = group["gravity"][frame:frame + self.input_states * self.every]
        return {
            "position": torch.from_numpy(positions[:self.input_states]),
            "gravity": torch.from_numpy(gravity.reshape(self.input_states, self.every, 3)),
            "target": torch.from_numpy(positions[self.input_states:]),
        }
