// Base of the board's components.
#include "Component.h"

cComponent::cComponent(IKvBoardServices* board, const char* name)
    : cListElement(), CZelKWStruct(name, nullptr, 0), m_pBoard(board) {}

cComponent::~cComponent() = default;
