"""The adaptive classifier's documented steps for two classes, written in numpy:
literally (`fit_steps`, `diagnose_steps`) as the reference the module must equal,
and vectorised (`fit_floor`, `diagnose_floor`) as the least numpy must do."""

import numpy as np


def object_array(sets):
    """`np.array(sets)`, or the 1-D object array of the sets where they are ragged."""
    try:
        return np.array(sets)
    except ValueError:
        out = np.empty(len(sets), dtype=object)
        for k, s in enumerate(sets):
            out[k] = s
        return out


def fit_steps(calib_prob, calib_pos, test_prob, alpha):
    sorted_value = np.sort(calib_prob, axis=1)[:, ::-1]
    sorted_index = np.argsort(calib_prob, axis=1)[:, ::-1]
    sorted_pos = [np.where(sorted_index[i] == calib_pos[i])[0][0]
                  for i in range(sorted_value.shape[0])]
    calib_cumsum = np.cumsum(sorted_value, axis=1)
    score = calib_cumsum[np.arange(len(calib_cumsum)), sorted_pos]
    n = len(calib_pos)
    q = np.quantile(score, (1 - alpha) * (n + 1) / n)
    test_sorted_value = np.sort(test_prob, axis=1)[:, ::-1]
    test_sorted_index = np.argsort(test_prob, axis=1)[:, ::-1]
    test_pos = (np.cumsum(test_sorted_value, axis=1) >= q).argmax(axis=1)
    max_test = np.max(test_prob)
    test_class = []
    for i in range(test_sorted_value.shape[0]):
        if q >= max_test:
            test_class.append([0, 1])
        else:
            res = test_sorted_index[i, :test_pos[i] + 1].tolist()
            test_class.append([0, 1] if res == [1, 0] else res)
    return {"max_test": max_test, "test_class": test_class, "test_sorted_index": test_sorted_index,
            "test_sorted_value": test_sorted_value, "q": q}


def diagnose_steps(test_class, test_y, full):
    c_lis = []
    class_n = np.unique(test_y)
    label_list = [str([0, 1])] if full else np.unique(object_array(test_class))
    class_conf = {i: {} for i in class_n}
    contain_num = 0
    for j in range(len(test_class)):
        c_lis.append(len(test_class[j]))
        contain_num += test_y[j] in test_class[j]
    test_class = object_array(test_class)
    for i in class_n:
        if full:
            label = np.array([str([0, 1])])
            count = np.array([test_class[test_y == i].shape[0]])
        else:
            label, count = np.unique(test_class[test_y == i], return_counts=True)
        for j in range(label.shape[0]):
            class_conf[i][str(label[j])] = count[j]
    c_label, c_count = np.unique(c_lis, return_counts=True)
    c_lis = np.array(c_lis)
    attributes = {"label_list": label_list, "test_class": test_class,
                  "coverage": contain_num / test_y.shape[0],
                  "width": 1 - np.sum(1 / c_lis) / c_lis.shape[0], "class_conf": class_conf}
    return attributes, {"number of class": c_label, "sample count": c_count}


def fit_floor(calib_prob, calib_pos, test_prob, alpha):
    sorted_value = np.sort(calib_prob, axis=1)[:, ::-1]
    sorted_index = np.argsort(calib_prob, axis=1)[:, ::-1]
    sorted_pos = (sorted_index == calib_pos[:, None]).argmax(axis=1)
    score = np.cumsum(sorted_value, axis=1)[np.arange(len(sorted_value)), sorted_pos]
    n = len(calib_pos)
    q = np.quantile(score, (1 - alpha) * (n + 1) / n)
    test_sorted_value = np.sort(test_prob, axis=1)[:, ::-1]
    test_sorted_index = np.argsort(test_prob, axis=1)[:, ::-1]
    test_pos = (np.cumsum(test_sorted_value, axis=1) >= q).argmax(axis=1)
    max_test = np.max(test_prob)
    first = test_sorted_index[:, 0].tolist()
    test_class = [[c] if p == 0 else [0, 1] for c, p in zip(first, test_pos.tolist())]
    return test_class, test_sorted_index, test_sorted_value, q, max_test


def diagnose_floor(test_class, test_y):
    n = len(test_class)
    first = np.fromiter((s[0] for s in test_class), np.int64, n)
    sizes = np.fromiter(map(len, test_class), np.int64, n)
    contained = np.count_nonzero((sizes == 2) | (first == test_y))
    sets = np.fromiter(test_class, object, n)
    code = first + 2 * (sizes == 2)
    class_n, label_of_row = np.unique(test_y, return_inverse=True)
    counts = np.bincount(label_of_row * 4 + code, minlength=4 * len(class_n)).reshape(-1, 4)
    c_label, c_count = np.unique(sizes, return_counts=True)
    width = 1 - np.sum(1 / sizes) / n
    return sets, contained / n, width, counts, c_label, c_count
