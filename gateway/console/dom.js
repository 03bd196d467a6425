// Building the page from data: every value becomes a text node, never markup.

// An element with a class (may be empty) and children: strings become text nodes.
export function el(tag, className, ...children) {
  const element = document.createElement(tag);
  if (className) {
    element.className = className;
  }
  for (const child of children) {
    element.append(child instanceof Node ? child : document.createTextNode(child ?? ""));
  }
  return element;
}

// A table row of cells.
export function row(...cells) {
  const wrapped = cells.map((cell) =>
    cell instanceof Node && cell.tagName === "TD" ? cell : el("td", "", cell),
  );
  return el("tr", "", ...wrapped);
}

// Replaces a list's children only when what it shows changed, so that a click or a
// selection in it survives the next refresh.
const shownData = new WeakMap();

export function replaceIfChanged(parent, data, build) {
  const shown = JSON.stringify(data);
  if (shownData.get(parent) === shown) {
    return;
  }
  shownData.set(parent, shown);
  parent.replaceChildren(...build());
}

export function time(ms) {
  return ms ? new Date(ms).toLocaleString() : "";
}

export function show(element, visible) {
  element.hidden = !visible;
}
