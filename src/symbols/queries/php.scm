; Definitions. Later patterns win on the same name.

(method_declaration name: (name) @name) @definition.method
(trait_declaration name: (name) @name) @definition.trait
(enum_declaration name: (name) @name) @definition.enum
(enum_case name: (name) @name) @definition.enumerator
(const_declaration (const_element (name) @name)) @definition.constant
(property_promotion_parameter name: (variable_name (name) @name)) @definition.field

; References.

(function_call_expression function: (name) @name) @reference.call

(base_clause (name) @name) @reference.type
(base_clause (qualified_name (name) @name)) @reference.type
(object_creation_expression (name) @name) @reference.new
(namespace_use_clause (qualified_name (name) @name)) @reference.import
(namespace_use_clause (name) @name) @reference.import
(use_declaration (name) @name) @reference.implementation
