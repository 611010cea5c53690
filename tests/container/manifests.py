#!/usr/bin/env python3
"""The lab's manifests, checked without a cluster.

manifests.py check KUBERNETES_DIR COMPOSE_FILE
    parses every YAML document and checks the keys a cluster or compose needs
manifests.py pod KUBERNETES_DIR INDEX IMAGE
    prints the Pod that the StatefulSet's controller would make for pod INDEX
    (name, the pod-index label, IMAGE as the image), for `podman kube play`; the
    kubelet's expansion of $(VAR) in command and args is done here, since podman
    4.3 passes them on as they stand
"""
import json
import re
import sys
from pathlib import Path

import yaml

POD_INDEX_LABEL = "apps.kubernetes.io/pod-index"
DEFAULT_NETWORK = "v1.multus-cni.io/default-network"

failures = []


def need(condition, what):
    if not condition:
        failures.append(what)
    return condition


def dig(doc, *keys):
    for key in keys:
        if isinstance(doc, dict):
            doc = doc.get(key)
        elif isinstance(doc, list) and isinstance(key, int) and key < len(doc):
            doc = doc[key]
        else:
            return None
    return doc


def load_dir(folder):
    docs = []
    for path in sorted(Path(folder).glob("*.yaml")):
        for doc in yaml.safe_load_all(path.read_text()):
            if doc is not None:
                need(isinstance(doc, dict) and "apiVersion" in doc and "kind" in doc and dig(doc, "metadata", "name"),
                     f"{path.name}: a document without apiVersion, kind or metadata.name")
                docs.append(doc)
    return docs


def only(docs, kind):
    found = [d for d in docs if d.get("kind") == kind]
    need(len(found) == 1, f"one {kind} expected, found {len(found)}")
    return found[0] if found else {}


def check_network(nad):
    need(nad.get("apiVersion") == "k8s.cni.cncf.io/v1", "NetworkAttachmentDefinition apiVersion")
    try:
        config = json.loads(dig(nad, "spec", "config") or "")
    except ValueError as e:
        need(False, f"NetworkAttachmentDefinition spec.config is not JSON: {e}")
        return
    need(config.get("type") == "macvlan", "the network is a macvlan")
    need(bool(config.get("master")), "the macvlan names its master interface")
    need(dig(config, "ipam", "type") in ("whereabouts", "dhcp"), "addresses from whereabouts or DHCP")
    if dig(config, "ipam", "type") == "whereabouts":
        need(bool(dig(config, "ipam", "range")), "a whereabouts range")


def device_container(sts):
    return dig(sts, "spec", "template", "spec", "containers", 0) or {}


def check_statefulset(sts, service, nad):
    need(sts.get("apiVersion") == "apps/v1", "StatefulSet apiVersion apps/v1")
    spec = sts.get("spec") or {}
    labels = dig(spec, "template", "metadata", "labels") or {}
    selector = dig(spec, "selector", "matchLabels") or {}
    need(selector and all(labels.get(k) == v for k, v in selector.items()), "the selector matches the template's labels")
    need(spec.get("serviceName") == dig(service, "metadata", "name"), "serviceName names the headless Service")
    need(dig(service, "spec", "clusterIP") == "None", "the Service is headless")
    need(dig(service, "spec", "selector") == selector, "the Service selects the StatefulSet's pods")
    annotations = dig(spec, "template", "metadata", "annotations") or {}
    need(annotations.get(DEFAULT_NETWORK) == dig(nad, "metadata", "name"), "the pods are on the lab's network")
    c = device_container(sts)
    need(bool(c.get("image")), "the device container has an image")
    need(c.get("args") == ["$(POD_INDEX)"], "the pod index is the instance")
    env = {e.get("name"): e for e in c.get("env") or []}
    need(dig(env.get("POD_INDEX"), "valueFrom", "fieldRef", "fieldPath") == f"metadata.labels['{POD_INDEX_LABEL}']",
         "POD_INDEX comes from the pod-index label")
    need(dig(c, "securityContext", "runAsNonRoot") is True, "the device runs as a user")


def check_compose(path):
    compose = yaml.safe_load(Path(path).read_text())
    services = compose.get("services") or {}
    need(dig(compose, "networks", "lab", "internal") is True, "compose: the lab network is internal")
    for n in (1, 2, 3):
        s = services.get(f"device{n}") or {}
        need(s.get("command") == [str(n)], f"compose: device{n} is instance {n}")
        need(s.get("networks") == ["lab"] and bool(s.get("image")), f"compose: device{n} on the lab with an image")
    ctl = services.get("controller") or {}
    need("lcctl discover" in " ".join(ctl.get("command") or []), "compose: the controller discovers")
    need(set(ctl.get("depends_on") or []) == {"device1", "device2", "device3"}, "compose: the controller waits")


def pod_for(docs, index, image):
    sts = only(docs, "StatefulSet")
    template = dig(sts, "spec", "template")
    name = f"{dig(sts, 'metadata', 'name')}-{index}"
    metadata = dict(template.get("metadata") or {})
    metadata["name"] = name
    metadata["labels"] = dict(metadata.get("labels") or {}, **{POD_INDEX_LABEL: str(index)})
    spec = json.loads(json.dumps(template["spec"]))
    spec["hostname"] = name
    spec["containers"][0]["image"] = image
    labels = metadata["labels"]
    for c in spec["containers"]:
        values = {}
        for e in c.get("env") or []:
            path = dig(e, "valueFrom", "fieldRef", "fieldPath") or ""
            label = re.fullmatch(r"metadata\.labels\['(.+)'\]", path)
            if "value" in e:
                values[e["name"]] = e["value"]
            elif label and label.group(1) in labels:
                values[e["name"]] = labels[label.group(1)]
        expand = lambda text: re.sub(r"\$\$|\$\(([A-Za-z_][A-Za-z0-9_]*)\)",
                                     lambda m: "$" if m.group(0) == "$$" else values.get(m.group(1), m.group(0)), text)
        for key in ("command", "args"):
            if key in c:
                c[key] = [expand(a) for a in c[key]]
    return {"apiVersion": "v1", "kind": "Pod", "metadata": metadata, "spec": spec}


def main(argv):
    if len(argv) == 4 and argv[1] == "check":
        docs = load_dir(argv[2])
        nad = only(docs, "NetworkAttachmentDefinition")
        check_network(nad)
        check_statefulset(only(docs, "StatefulSet"), only(docs, "Service"), nad)
        for pod in [d for d in docs if d.get("kind") == "Pod"]:
            need(dig(pod, "metadata", "annotations", DEFAULT_NETWORK) == dig(nad, "metadata", "name"),
                 f"pod {dig(pod, 'metadata', 'name')} is on the lab's network")
        check_compose(argv[3])
        for f in failures:
            print(f"FAIL: {f}")
        return 1 if failures else 0
    if len(argv) == 5 and argv[1] == "pod":
        print(yaml.safe_dump(pod_for(load_dir(argv[2]), int(argv[3]), argv[4]), sort_keys=False), end="")
        return 1 if failures else 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
