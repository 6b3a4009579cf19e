; Definitions, after the rules shared with JavaScript.

(interface_declaration name: (type_identifier) @name) @definition.interface
(type_alias_declaration name: (type_identifier) @name) @definition.type
(enum_declaration name: (identifier) @name) @definition.enum
(enum_body [(property_identifier) (string)] @name @definition.enumerator)
(enum_assignment name: [(property_identifier) (string)] @name) @definition.enumerator
(internal_module name: [(identifier) (nested_identifier)] @name) @definition.namespace
(module name: [(identifier) (string)] @name) @definition.module
(abstract_class_declaration name: (type_identifier) @name) @definition.class
(public_field_definition name: [(property_identifier) (private_property_identifier)] @name) @definition.field
(property_signature name: (property_identifier) @name) @definition.property
(method_signature name: (property_identifier) @name) @definition.method
(abstract_method_signature name: (property_identifier) @name) @definition.method
(function_signature name: (identifier) @name) @definition.function
(ambient_declaration (variable_declaration (variable_declarator name: (identifier) @name) @definition.variable))

; References.

(type_identifier) @name @reference.type
(type_parameter name: (type_identifier) @ignore)
(implements_clause [
  (type_identifier) @name
  (generic_type name: (type_identifier) @name)]) @reference.implementation
(extends_clause value: (identifier) @name) @reference.type
(extends_type_clause [(type_identifier) @name (generic_type name: (type_identifier) @name)]) @reference.type
