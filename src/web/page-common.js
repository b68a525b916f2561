// What every page of ours draws the same way; built into each page where it names this file.
const $ = id => document.getElementById(id);

function element(tag, className, text) {
  const made = document.createElement(tag);
  if (className) {
    made.className = className;
  }
  if (text !== undefined) {
    made.textContent = text;
  }
  return made;
}

function row(cells) {
  const tr = document.createElement("tr");
  for (const [text, className] of cells) {
    tr.append(element("td", className || "", String(text)));
  }
  return tr;
}

// A slot's state in words: the image under way and how far, else the state's own words.
function stateWords(slot) {
  if (slot.state === "unit" && slot.image) {
    const percent = slot.image.total ? Math.floor(100 * slot.image.done / slot.image.total) : 0;
    return slot.image.kind + " " + percent + " %";
  }
  return slot.text || slot.state;
}

// The bar of the image under way; null when none is.
function imageBar(slot) {
  if (slot.state !== "unit" || !slot.image || !slot.image.total) {
    return null;
  }
  const bar = element("div", "bar");
  const done = element("div");
  done.style.width = (100 * slot.image.done / slot.image.total).toFixed(1) + "%";
  bar.append(done);
  return bar;
}
