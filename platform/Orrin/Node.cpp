#include "Orrin/Node.h"

namespace Orrin {

bool ThreadControl::tsp_ = false;

Node::~Node() = default;

void Node::lastUserGone() {
  delete this;
}

Publisher* Node::publisher() const {
  return nullptr;
}

TypeData Node::typeData() const {
  return {};
}

void Node::handleParent(Node* parent) {
  parent_ = parent;
}

void Node::decUseImpl() const {
  const_cast<Node*>(this)->lastUserGone();
}

}  // namespace Orrin
